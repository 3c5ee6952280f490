"""The Redis back end's key layout, tuning and scripts: each operation on an
object runs as one script, so that no other client sees it half done.

Every key of one object shares the hash tag "{namespace:name}", so that the
scripts below touch a single slot of a Redis Cluster:

    {ns:name}:slot      hash: ver, z (reserved, never written), fence (the
                        number of the latest grant of the lock)
    {ns:name}:val       the encoded value (absent until the first write)
    {ns:name}:stage:ID  a large value on its way in, renamed to :val
    {ns:name}:done      "TOKEN:version" of the last writes that let go of
                        the lock, newest first (64 at most, expiring)
    {ns:name}:lock      the token of the lock's holder, with a lease
    {ns:name}:waiters   the tokens of those waiting for the lock, in order
    {ns:name}:wake:TOK  tells a waiter that the lock was handed to it
    {ns:name}:ch        pub/sub channel carrying each new version
    {ns:name}:fn        hash: kind (serve or create), gen (the pool's generation);
                        or kind queue (see _remote_queue_scripts)
    {ns:name}:srv:GEN   set of the pool's server ids
    {ns:name}:q:GEN     the calls waiting for a server
    {ns:name}:hb:SID    a server's heartbeat, expiring
    {ns:name}:run:SID   the call a server is executing
    {ns:name}:r:CALLID  the reply of one call, expiring
    {ns:name}:r:XID     the replies of the calls of one executor, each
                        behind the second half of its call id, expiring
    {ns:name}:end:GEN   a pool ended on purpose (stopped, left, replaced,
                        removed), expiring; a server whose pool went
                        without it knows that the server lost its data

A script is given, in KEYS, every key whose name its caller knows. Some
names are known only inside the script, which makes them there from the
object's prefix: the pool's generation read from :fn (:srv:GEN, :q:GEN in
join, stop, post, served, withdraw; :end:GEN in remove; :done in write), the server ids read from :srv:GEN
(their :hb and :run keys, in live_servers and where), and the token of the
waiter a lock is handed to, read from :waiters (its :wake key, in hand_on). Passing them
would take a round trip before the script and let them change in between.
They carry the object's hash tag, so they live in the slot of the declared
keys and a Redis Cluster node that runs the script holds them.
"""
from zelvane._remote_queue_scripts import FORGET_EXTRAS, QUEUE_SCRIPTS

# A server that has not renewed its heartbeat for this long counts as dead;
# a caller looks at its call between waits of CALL_SLICE, so a dead server's
# caller fails within HEARTBEAT_TTL + CALL_SLICE (under 3 seconds).
HEARTBEAT_TTL = 2.0
HEARTBEAT_EVERY = 0.5
CALL_SLICE = 0.5
# A lock's holder renews its lease while it holds it, so a killed holder
# holds the others up for at most LOCK_LEASE.
LOCK_LEASE = 5.0
LOCK_RENEW_EVERY = 1.0
HANDOFF_SLICE = 0.5
# A reply whose caller is gone, and a stopped pool's leftovers, expire.
REPLY_TTL = 60.0
POOL_TTL = 60.0
SERVE_SLICE = 0.5
WAIT_SLICE = 0.2
OPEN_POLL = 0.05
# Values longer than this go to and from Redis beside the scripts, not
# through them.
INLINE_VALUE = 64 * 1024
STAGE_TTL = 60.0

MESSAGE_SIZE = 1024
# The least a Redis server may be told to take in one value
# (proto-max-bulk-len): a reply shorter than this is never refused for its
# length.
SMALLEST_BULK_LIMIT = 1024 * 1024
CALL_ID_SIZE = 32
STOP_ITEM = b"STOP"

# A request: call id, then how its payload reads, then the payload.
CALL_FUNCTION = b"c"   # dumps(args), the 1024-byte limits apply
HANDLE_ARGS = b"h"     # dumps(args)
HANDLE_KWARGS = b"k"   # dumps((args, kwargs))
# The same, from an executor, whose replies go to one list: the call id's
# first half names the list, its second half tags the reply.
GATHERED_ARGS = b"H"
GATHERED_KWARGS = b"K"
# A reply: its kind, then its payload.
REPLY_RESULT = b"R"
REPLY_EXCEPTION = b"E"
REPLY_NULL = b"N"

NULL_MESSAGE = ("Received a NULL message from the function. This is likely because the function returned "
                "arguments of too large size.")
RESULT_TOO_LARGE = "The returned value exceeds the maximum accepted return size of 1024 bytes."

_LIVE_SERVERS = """
local function live_servers(prefix, gen)
  local set = prefix .. ':srv:' .. gen
  for _, sid in ipairs(redis.call('SMEMBERS', set)) do
    if redis.call('EXISTS', prefix .. ':hb:' .. sid) == 0 then
      redis.call('SREM', set, sid)
      redis.call('DEL', prefix .. ':run:' .. sid)
    end
  end
  return redis.call('SCARD', set)
end
"""

# Marks the pool of generation `gen` as ended on purpose, for its servers'
# heartbeats to tell from a pool that went with the server's data.
_MARK_ENDED = """
local function mark_ended(prefix, gen)
  redis.call('SET', prefix .. ':end:' .. gen, 1, 'PX', 60000)
end
"""

# With a pop of `key` following in the same round trip ('1' in `pops`),
# leaves an empty item for it, so that it does not wait; then `result`.
_ANSWERED = """
local function answered(key, pops, result)
  if pops == '1' then
    redis.call('RPUSH', key, '')
    redis.call('PEXPIRE', key, 60000)
  end
  return result
end
"""

# A slot's {value, reserved, version, fence}, from `found`, its fields z,
# ver and fence (ver is there as long as the slot is; fence once its lock
# was granted, and while the lock is held it is the holder's fencing
# token). Copying a value through a script costs more than sending it, so
# a value longer than `limit` bytes ('' for no limit) is left out, as 1,
# for a plain GET to fetch.
_SLOT_STATE = """
local function slot_state(found, val, limit)
  local value
  if limit ~= '' and redis.call('STRLEN', val) > tonumber(limit) then
    value = 1
  else
    value = redis.call('GET', val)
  end
  return {value, found[1], found[2], found[3]}
end
"""

# KEYS: slot, fn. ARGV: reserved ('1' or '0').
_CREATE = """
if redis.call('EXISTS', KEYS[1]) == 1 or redis.call('EXISTS', KEYS[2]) == 1 then return 0 end
if ARGV[1] == '1' then
  redis.call('HSET', KEYS[1], 'ver', 0, 'z', 1)
else
  redis.call('HSET', KEYS[1], 'ver', 0)
end
return 1
"""

# KEYS: slot, fn, lock, val. ARGV (both optional, so that a plain read
# sends the least): inline limit (default INLINE_VALUE), token. Returns {v,
# z, ver, fence} (v is 1 for a value over the limit, read apart), or -1
# missing, -2 locked by another, -3 a function's name.
_READ = _SLOT_STATE + """
local found = redis.call('HMGET', KEYS[1], 'z', 'ver', 'fence')
if not found[2] then
  if redis.call('EXISTS', KEYS[2]) == 1 then return -3 end
  return -1
end
local holder = redis.call('GET', KEYS[3])
if holder and holder ~= ARGV[2] then return -2 end
return slot_state(found, KEYS[4], ARGV[1] or '%d')
""" % INLINE_VALUE

# Lets go of the lock: straight to the first waiter, whose token becomes
# the holder's, so that a waiter never competes for it again. Every grant
# of the lock counts in the slot's fence, which the holder learns. A
# waiter's entry is a flag (1: it wants the value) and its token; its
# wake-up carries the slot's state, '!' for a slot gone, or (reserved flag,
# version, ':', fence, ':', value) when it wants the value, so that it
# reads nothing more. A writer that lets go passes the version and value
# it wrote, `written`, which it knows.
_HAND_ON = """
local function handed_state(slot, val, wanted, written)
  if redis.call('EXISTS', slot) == 0 then return '!' end
  local fence = redis.call('HINCRBY', slot, 'fence', 1)
  if not wanted then return '-' end
  if written then return '-' .. written[1] .. ':' .. fence .. ':' .. written[2] end
  local found = redis.call('HMGET', slot, 'z', 'ver')
  return (found[1] and 'z' or '-') .. (found[2] or '0') .. ':' .. fence .. ':' .. (redis.call('GET', val) or '')
end

local function hand_on(lock, waiters, slot, val, prefix, lease, written)
  local entry = redis.call('LPOP', waiters)
  if not entry then
    redis.call('DEL', lock)
    return
  end
  local token = string.sub(entry, 2)
  redis.call('SET', lock, token, 'PX', lease)
  local state = handed_state(slot, val, string.sub(entry, 1, 1) == '1', written)
  local wake = prefix .. ':wake:' .. token
  redis.call('RPUSH', wake, state)
  redis.call('PEXPIRE', wake, 60000)
end
"""

# KEYS: slot, fn, lock, val, and with a token: waiters, stage. ARGV:
# value, create, and with a token (left out by a plain write, so that it
# sends the least): token, release, lease ms, staged. The value is ARGV[1],
# or waits under the stage key when staged ('1'), sent beside the script in
# one transaction. Returns the new version, or -1 missing, -2 locked by
# another, -3 a function's name, -4 the caller's lock was lost; an error
# when the user may not publish the new version.
_WRITE = _HAND_ON + """
local token, staged = ARGV[3] or '', ARGV[6] == '1'
local function refused(code)
  if staged then redis.call('DEL', KEYS[6]) end
  return code
end
local found = redis.call('HMGET', KEYS[1], 'ver', 'z')
if not found[1] and redis.call('EXISTS', KEYS[2]) == 1 then return refused(-3) end
local holder = redis.call('GET', KEYS[3])
local prefix = string.sub(KEYS[1], 1, -6)
if token ~= '' and holder ~= token then
  -- A write that let go of the lock, sent again after a lost connection,
  -- answers what it answered the first time.
  if ARGV[4] == '1' then
    for _, done in ipairs(redis.call('LRANGE', prefix .. ':done', 0, -1)) do
      if string.sub(done, 1, #token + 1) == token .. ':' then return refused(tonumber(string.sub(done, #token + 2))) end
    end
  end
  return refused(-4)
end
if holder and holder ~= token then return refused(-2) end
if not found[1] and ARGV[2] ~= '1' then return refused(-1) end
-- A write lands with the announcement of its version or not at all: a user
-- who may not publish is refused before anything changes (Redis 7 checks
-- channels; older ones let every user publish).
if redis.acl_check_cmd and not redis.acl_check_cmd('PUBLISH', prefix .. ':ch', '0') then
  return refused(redis.error_reply('NOPERM this user has no permissions to publish on the channel ' .. prefix ..
    ':ch, which announces each new version of the slot'))
end
local ver = (tonumber(found[1] or '0') + 1) % 2147483648
if staged then
  redis.call('RENAME', KEYS[6], KEYS[4])
  redis.call('PERSIST', KEYS[4])
else
  redis.call('SET', KEYS[4], ARGV[1])
end
redis.call('HSET', KEYS[1], 'ver', ver)
if found[2] then redis.call('HDEL', KEYS[1], 'z') end
-- A temporary slot's value expires with it.
local ttl = redis.call('PTTL', KEYS[1])
if ttl > 0 then redis.call('PEXPIRE', KEYS[4], ttl) end
redis.call('PUBLISH', prefix .. ':ch', ver)
if ARGV[4] == '1' then
  redis.call('LPUSH', prefix .. ':done', token .. ':' .. ver)
  redis.call('LTRIM', prefix .. ':done', 0, 63)
  redis.call('PEXPIRE', prefix .. ':done', 60000)
  hand_on(KEYS[3], KEYS[5], KEYS[1], KEYS[4], prefix, ARGV[5], not staged and {ver, ARGV[1]})
end
return ver
"""

# KEYS: slot, fn, lock, waiters, val, and the caller's wake key when a pop
# of it follows in the same round trip. ARGV: token, lease ms, whether to
# return the value, '1' when a pop follows. Returns {v, z, ver, fence} (or
# 1) once locked, 0 once queued behind the holder, -1 missing, -3 a
# function's name. Any answer but 0 leaves an empty wake-up for the pop
# that follows, so that it does not wait.
_LOCK = _SLOT_STATE + _ANSWERED + """
local found = redis.call('HMGET', KEYS[1], 'z', 'ver', 'fence')
if not found[2] then
  if redis.call('EXISTS', KEYS[2]) == 1 then return answered(KEYS[6], ARGV[4], -3) end
  return answered(KEYS[6], ARGV[4], -1)
end
if redis.call('SET', KEYS[3], ARGV[1], 'NX', 'PX', ARGV[2]) then
  found[3] = redis.call('HINCRBY', KEYS[1], 'fence', 1)
-- Sent again after a lost connection, it answers as it did the first time.
elseif redis.call('GET', KEYS[3]) ~= ARGV[1] then
  if not redis.call('LPOS', KEYS[4], ARGV[3] .. ARGV[1]) then redis.call('RPUSH', KEYS[4], ARGV[3] .. ARGV[1]) end
  return 0
end
if ARGV[3] == '1' then return answered(KEYS[6], ARGV[4], slot_state(found, KEYS[5], '')) end
return answered(KEYS[6], ARGV[4], 1)
"""

# KEYS: lock, waiters, wake, slot. ARGV: token, lease ms, entry. 1 when
# the token holds the lock: handed to it, or taken because its holder's
# lease ran out (a grant, counted in the slot's fence).
_CLAIM = """
local holder = redis.call('GET', KEYS[1])
if not holder then
  redis.call('SET', KEYS[1], ARGV[1], 'PX', ARGV[2])
  redis.call('LREM', KEYS[2], 0, ARGV[3])
  if redis.call('EXISTS', KEYS[4]) == 1 then redis.call('HINCRBY', KEYS[4], 'fence', 1) end
  holder = ARGV[1]
end
if holder ~= ARGV[1] then return 0 end
redis.call('DEL', KEYS[3])
return 1
"""

# KEYS: lock, waiters, wake, slot, val. ARGV: token, prefix, lease ms, entry.
# Leaves the queue, and hands the lock on if it was handed here meanwhile.
_WITHDRAW_WAITER = _HAND_ON + """
redis.call('LREM', KEYS[2], 0, ARGV[4])
redis.call('DEL', KEYS[3])
if redis.call('GET', KEYS[1]) == ARGV[1] then hand_on(KEYS[1], KEYS[2], KEYS[4], KEYS[5], ARGV[2], ARGV[3]) end
return 1
"""

# KEYS: lock, waiters, slot, val. ARGV: token, prefix, lease ms. 1 when the
# token held the lock.
_UNLOCK = _HAND_ON + """
if redis.call('GET', KEYS[1]) ~= ARGV[1] then return 0 end
hand_on(KEYS[1], KEYS[2], KEYS[3], KEYS[4], ARGV[2], ARGV[3])
return 1
"""

# KEYS: lock. ARGV: token, lease in ms.
_RENEW = """
if redis.call('GET', KEYS[1]) ~= ARGV[1] then return 0 end
return redis.call('PEXPIRE', KEYS[1], ARGV[2])
"""

# KEYS: slot, fn, lock, val. How many names went (the lock goes with its slot;
# its waiters find it free; a queue's items and a temporary object's holders
# go too).
_REMOVE = _MARK_ENDED + FORGET_EXTRAS + """
local gen = redis.call('HGET', KEYS[2], 'gen')
if gen then mark_ended(string.sub(KEYS[1], 1, -6), gen) end
local removed = redis.call('DEL', KEYS[1], KEYS[2])
forget_extras(string.sub(KEYS[1], 1, -6))
redis.call('DEL', KEYS[3], KEYS[4])
return removed
"""

# KEYS: slot, fn. ARGV: prefix, kind, new generation, server id, heartbeat
# ms. The pool's generation once joined; false when the name is taken.
_JOIN = _LIVE_SERVERS + _MARK_ENDED + """
if redis.call('EXISTS', KEYS[1]) == 1 then return false end
local kind = redis.call('HGET', KEYS[2], 'kind')
if kind == 'queue' then return false end
local gen = redis.call('HGET', KEYS[2], 'gen')
if kind and live_servers(ARGV[1], gen) > 0 then
  if kind ~= 'serve' or ARGV[2] ~= 'serve' then return false end
else
  if gen then mark_ended(ARGV[1], gen) end
  gen = ARGV[3]
  redis.call('HSET', KEYS[2], 'kind', ARGV[2], 'gen', gen)
end
redis.call('SADD', ARGV[1] .. ':srv:' .. gen, ARGV[4])
redis.call('SET', ARGV[1] .. ':hb:' .. ARGV[4], 1, 'PX', ARGV[5])
return gen
"""

# KEYS: fn, servers, heartbeat, queue, end mark. ARGV: generation, server
# id, heartbeat ms, pool ms. 0 once the pool was ended; -1 once the pool went
# with no end mark: the Redis server lost its data (restarted, flushed).
_HEARTBEAT = """
local gen = redis.call('HGET', KEYS[1], 'gen')
if gen ~= ARGV[1] then
  if redis.call('EXISTS', KEYS[5]) == 0 then return -1 end
  return 0
end
-- Dropped from the pool when its heartbeat lapsed (the process paused, or a
-- replica took over from a failed master later than the heartbeat's TTL):
-- it serves on.
redis.call('SADD', KEYS[2], ARGV[2])
redis.call('SET', KEYS[3], 1, 'PX', ARGV[3])
redis.call('PEXPIRE', KEYS[2], ARGV[4])
redis.call('PEXPIRE', KEYS[4], ARGV[4])
return 1
"""

# KEYS: fn, servers, heartbeat, running, queue. ARGV: prefix, generation,
# server id. The last server out removes the name (when it is still this
# pool's).
_LEAVE = _LIVE_SERVERS + _MARK_ENDED + """
redis.call('SREM', KEYS[2], ARGV[3])
redis.call('DEL', KEYS[3], KEYS[4])
if live_servers(ARGV[1], ARGV[2]) == 0 then
  redis.call('DEL', KEYS[2], KEYS[5])
  if redis.call('HGET', KEYS[1], 'gen') == ARGV[2] then
    redis.call('DEL', KEYS[1])
    mark_ended(ARGV[1], ARGV[2])
  end
end
return 1
"""

# KEYS: fn. ARGV: prefix. Stops every server of the pool: each takes one
# stop item before any waiting call; the calls left behind fail.
_STOP = _MARK_ENDED + """
local gen = redis.call('HGET', KEYS[1], 'gen')
if not gen then return 0 end
redis.call('DEL', KEYS[1])
mark_ended(ARGV[1], gen)
local queue = ARGV[1] .. ':q:' .. gen
for _ = 1, redis.call('SCARD', ARGV[1] .. ':srv:' .. gen) do
  redis.call('RPUSH', queue, 'STOP')
end
redis.call('PEXPIRE', queue, 60000)
return 1
"""

# KEYS: fn, slot, and the reply key when a pop of it follows in the same
# round trip. ARGV: prefix, request, has keyword arguments, '1' when a pop
# follows. The pool's generation once posted; -1 missing, -2 a slot's or a queue's name,
# -3 keyword arguments for create_function, -4 nobody serves. A refusal
# leaves an empty reply for the pop that follows, so that it does not wait.
_POST = _LIVE_SERVERS + _ANSWERED + """
local kind = redis.call('HGET', KEYS[1], 'kind')
if not kind or kind == 'queue' then
  if kind or redis.call('EXISTS', KEYS[2]) == 1 then return answered(KEYS[3], ARGV[4], -2) end
  return answered(KEYS[3], ARGV[4], -1)
end
if ARGV[3] == '1' and kind ~= 'serve' then return answered(KEYS[3], ARGV[4], -3) end
local gen = redis.call('HGET', KEYS[1], 'gen')
if live_servers(ARGV[1], gen) == 0 then return answered(KEYS[3], ARGV[4], -4) end
redis.call('LPUSH', ARGV[1] .. ':q:' .. gen, ARGV[2])
return gen
"""

# KEYS: fn, reply. ARGV: prefix, generation ('' for the pool's current
# one), request. Where the call is:
# 'ready', 'queued', 'running', 'withdrawn' (queued with no live server or
# for a pool that ended: it will not run) or 'dead'.
_WHERE = _LIVE_SERVERS + """
if redis.call('EXISTS', KEYS[2]) == 1 then return 'ready' end
local gen = ARGV[2]
if gen == '' then gen = redis.call('HGET', KEYS[1], 'gen') end
if not gen then return 'dead' end
local queue = ARGV[1] .. ':q:' .. gen
local alive = live_servers(ARGV[1], gen)
if redis.call('LPOS', queue, ARGV[3]) then
  if alive > 0 and redis.call('HGET', KEYS[1], 'gen') == gen then return 'queued' end
  redis.call('LREM', queue, 1, ARGV[3])
  return 'withdrawn'
end
for _, sid in ipairs(redis.call('SMEMBERS', ARGV[1] .. ':srv:' .. gen)) do
  if redis.call('LPOS', ARGV[1] .. ':run:' .. sid, ARGV[3]) then return 'running' end
end
if redis.call('EXISTS', KEYS[2]) == 1 then return 'ready' end
return 'dead'
"""

# KEYS: fn. ARGV: prefix, generation ('' for the pool's current one),
# request. 1 when the call was still waiting and is withdrawn.
_WITHDRAW = """
local gen = ARGV[2]
if gen == '' then gen = redis.call('HGET', KEYS[1], 'gen') end
if not gen then return 0 end
return redis.call('LREM', ARGV[1] .. ':q:' .. gen, 1, ARGV[3])
"""

# KEYS: fn, the gathered replies. ARGV: prefix, then for each call still
# waiting for its reply: its generation ('' for the pool's current one) and
# call id. The positions (from 1) of the calls that are nowhere: not in
# their pool's queue, not taken by a live server, not answered. A call
# queued in a pool with no live server, or replaced, is taken out of the
# queue and counted as lost too.
_LOST = _LIVE_SERVERS + """
local prefix, current = ARGV[1], redis.call('HGET', KEYS[1], 'gen')
local answered = {}
for _, item in ipairs(redis.call('LRANGE', KEYS[2], 0, -1)) do answered[string.sub(item, 1, %(tag)d)] = true end
local pools = {}
local function pool(gen)
  if pools[gen] then return pools[gen] end
  local found = {alive = live_servers(prefix, gen), queued = {}, taken = {}}
  for _, item in ipairs(redis.call('LRANGE', prefix .. ':q:' .. gen, 0, -1)) do
    found.queued[string.sub(item, 1, %(id)d)] = item
  end
  for _, sid in ipairs(redis.call('SMEMBERS', prefix .. ':srv:' .. gen)) do
    for _, item in ipairs(redis.call('LRANGE', prefix .. ':run:' .. sid, 0, -1)) do
      found.taken[string.sub(item, 1, %(id)d)] = true
    end
  end
  pools[gen] = found
  return found
end
local lost = {}
for i = 2, #ARGV, 2 do
  local gen, id = ARGV[i], ARGV[i + 1]
  if gen == '' then gen = current or '' end
  local found = pool(gen)
  local queued = found.queued[id]
  if queued and (found.alive == 0 or gen ~= current) then
    redis.call('LREM', prefix .. ':q:' .. gen, 1, queued)
    queued = nil
  end
  if not (queued or found.taken[id] or answered[string.sub(id, -%(tag)d)]) then table.insert(lost, i / 2) end
end
return lost
""" % {"id": CALL_ID_SIZE, "tag": CALL_ID_SIZE // 2}

# KEYS: fn. ARGV: prefix, then for each call: its generation ('' for the
# pool's current one) and request. 1 for each call still waiting and now
# withdrawn, 0 for each taken.
_WITHDRAW_CALLS = """
local current = redis.call('HGET', KEYS[1], 'gen')
local withdrawn = {}
for i = 2, #ARGV, 2 do
  local gen = ARGV[i]
  if gen == '' then gen = current end
  local done = 0
  if gen then done = redis.call('LREM', ARGV[1] .. ':q:' .. gen, 1, ARGV[i + 1]) end
  table.insert(withdrawn, done)
end
return withdrawn
"""

# KEYS: running, reply. ARGV: request, reply, ttl ms.
_FINISH = """
redis.call('LREM', KEYS[1], 1, ARGV[1])
redis.call('RPUSH', KEYS[2], ARGV[2])
redis.call('PEXPIRE', KEYS[2], ARGV[3])
return 1
"""

# KEYS: fn, slot. ARGV: prefix. The number of live servers, -1 missing, -2 a slot
# or a queue.
_SERVED = _LIVE_SERVERS + """
local gen = redis.call('HGET', KEYS[1], 'gen')
if not gen then
  if redis.call('EXISTS', KEYS[1]) == 1 or redis.call('EXISTS', KEYS[2]) == 1 then return -2 end
  return -1
end
return live_servers(ARGV[1], gen)
"""

SCRIPTS = {
    "create": _CREATE, "read": _READ, "write": _WRITE, "remove": _REMOVE,
    "lock": _LOCK, "claim": _CLAIM, "withdraw_waiter": _WITHDRAW_WAITER, "unlock": _UNLOCK, "renew": _RENEW,
    "join": _JOIN, "heartbeat": _HEARTBEAT, "leave": _LEAVE, "stop": _STOP, "served": _SERVED,
    "post": _POST, "where": _WHERE, "withdraw": _WITHDRAW, "finish": _FINISH,
    "lost": _LOST, "withdraw_calls": _WITHDRAW_CALLS,
    **QUEUE_SCRIPTS,
}
