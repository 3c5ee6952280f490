"""The scripts of queues and temporary objects on Redis, and their keys.

A queue keeps, under its object's hash tag "{namespace:name}":

    {ns:name}:fn          hash: kind 'queue', maxsize; the name's marker, so
                          that the slot and function scripts refuse it
    {ns:name}:items       the items, head first, each in zelvane's encoding
    {ns:name}:room        tells a producer waiting for room that a get made some
    {ns:name}:consumers   set of the ids of consumers that may hold items
    {ns:name}:held:CID    what consumer CID took and has not finished: its item
                          at the head, an empty entry at the tail (items are
                          never empty), which keeps the list, and its expiry,
                          while BLMOVE moves an item in
    {ns:name}:lease:CID   consumer CID's lease (its id, expiring), renewed while
                          it waits or holds an item; once it lapses, the next
                          script that reclaims puts CID's items back at the head

A temporary slot or queue has a field 'tmp' in its marker (:slot or :fn)
naming the incarnation, and

    {ns:name}:holders     sorted set: holder id -> the end of its lease (ms)

Each holder renews its lease and the expiry of every key of the object; when
the last holder dies, the keys expire; the last to close removes them.
"""

# Puts the items that consumer `cid` took back at the head of the queue, in
# their order, and forgets the consumer.
_RECLAIM = """
local function follow_ttl(marker, key)
  local ttl = redis.call('PTTL', marker)
  if ttl > 0 then redis.call('PEXPIRE', key, ttl) end
end

local function give_back(prefix, marker, cid)
  local held = prefix .. ':held:' .. cid
  local items = prefix .. ':items'
  for _, item in ipairs(redis.call('LRANGE', held, 0, -1)) do
    if item ~= '' then
      if redis.call('LPUSH', items, item) == 1 then follow_ttl(marker, items) end
    end
  end
  redis.call('DEL', held, prefix .. ':lease:' .. cid)
  redis.call('SREM', prefix .. ':consumers', cid)
end

local function reclaim(prefix, marker)
  for _, cid in ipairs(redis.call('SMEMBERS', prefix .. ':consumers')) do
    if redis.call('EXISTS', prefix .. ':lease:' .. cid) == 0 then give_back(prefix, marker, cid) end
  end
end

-- Tells a producer waiting for room that there is some.
local function made_room(prefix, maxsize)
  if maxsize > 0 and redis.call('LLEN', prefix .. ':items') < maxsize then
    local room = prefix .. ':room'
    if redis.call('LLEN', room) == 0 then
      redis.call('RPUSH', room, 1)
      redis.call('PEXPIRE', room, 60000)
    end
  end
end

-- The queue's maxsize, or -1 when the name holds nothing, -2 another kind.
local function queue_bound(marker, slot)
  local found = redis.call('HMGET', marker, 'kind', 'maxsize')
  if found[1] == 'queue' then return tonumber(found[2]) end
  if found[1] or redis.call('EXISTS', slot) == 1 then return -2 end
  return -1
end
"""

# KEYS: fn, slot, items. ARGV: item, prefix. The length after the put; 0
# when the queue is full; -1 missing, -2 not a queue.
_PUT = _RECLAIM + """
local bound = queue_bound(KEYS[1], KEYS[2])
if bound < 0 then return bound end
if bound > 0 and redis.call('LLEN', KEYS[3]) >= bound then return 0 end
local length = redis.call('RPUSH', KEYS[3], ARGV[1])
if length == 1 then follow_ttl(KEYS[1], KEYS[3]) end
made_room(ARGV[2], bound)
return length
"""

# KEYS: fn, slot, items, held, lease. ARGV: prefix, consumer id, lease ms,
# how ('pop': a plain get, 'hold': a reliable one), wait ('1': register the
# consumer when no item is there, for a BLMOVE into its held list to
# follow). The item; 0 when none is there; -1 missing, -2 not a queue.
_TAKE = _RECLAIM + """
local prefix, cid = ARGV[1], ARGV[2]
local bound = queue_bound(KEYS[1], KEYS[2])
if bound < 0 then return bound end
reclaim(prefix, KEYS[1])
local function register()
  redis.call('SADD', prefix .. ':consumers', cid)
  follow_ttl(KEYS[1], prefix .. ':consumers')
  redis.call('SET', KEYS[5], cid, 'PX', ARGV[3])
  if redis.call('EXISTS', KEYS[4]) == 0 then
    redis.call('RPUSH', KEYS[4], '')
    follow_ttl(KEYS[1], KEYS[4])
  end
end
if redis.call('LLEN', KEYS[3]) == 0 then
  if ARGV[5] == '1' then register() end
  return 0
end
local item
if ARGV[4] == 'hold' then
  register()
  item = redis.call('LMOVE', KEYS[3], KEYS[4], 'LEFT', 'LEFT')
else
  item = redis.call('LPOP', KEYS[3])
end
made_room(prefix, bound)
return item
"""

# KEYS: fn, slot. ARGV: prefix, consumer id, the item it finished ('' when
# none); what else it holds goes back to the head of the queue. 1 when the
# consumer still held that item; 0 when it had been taken back (its lease
# ran out).
_FINISH = _RECLAIM + """
local prefix, cid = ARGV[1], ARGV[2]
local held = prefix .. ':held:' .. cid
local holding = 0
if ARGV[3] ~= '' then holding = redis.call('LREM', held, 1, ARGV[3]) end
give_back(prefix, KEYS[1], cid)
local bound = queue_bound(KEYS[1], KEYS[2])
if bound > 0 then made_room(prefix, bound) end
return holding
"""

# KEYS: fn, slot, items. ARGV: prefix. {the items waiting, after those of
# dead consumers came back, maxsize}; -1 missing, -2 not a queue.
_LENGTH = _RECLAIM + """
local bound = queue_bound(KEYS[1], KEYS[2])
if bound < 0 then return bound end
reclaim(ARGV[1], KEYS[1])
return {redis.call('LLEN', KEYS[3]), bound}
"""

# Every key of the object under `prefix`, for a temporary object's expiry
# and for removal; and the leases of a temporary object's holders.
_OBJECT_KEYS = """
local function object_keys(prefix)
  local keys = {prefix .. ':slot', prefix .. ':val', prefix .. ':fn', prefix .. ':waiters', prefix .. ':items',
                prefix .. ':room', prefix .. ':consumers', prefix .. ':holders'}
  for _, cid in ipairs(redis.call('SMEMBERS', prefix .. ':consumers')) do
    table.insert(keys, prefix .. ':held:' .. cid)
  end
  return keys
end

-- What removing the object takes beside its slot and marker.
local function forget_extras(prefix)
  for _, cid in ipairs(redis.call('SMEMBERS', prefix .. ':consumers')) do
    redis.call('DEL', prefix .. ':lease:' .. cid)
  end
  for _, key in ipairs(object_keys(prefix)) do redis.call('DEL', key) end
end

local function server_ms()
  local now = redis.call('TIME')
  return tonumber(now[1]) * 1000 + math.floor(tonumber(now[2]) / 1000)
end

-- Whether no live process holds the temporary object: every holder's lease ended.
local function unheld(holders, ms)
  redis.call('ZREMRANGEBYSCORE', holders, '-inf', ms)
  return redis.call('ZCARD', holders) == 0
end

local function remove_object(prefix)
  forget_extras(prefix)
  redis.call('DEL', prefix .. ':lock')
end

-- Renews holder `hid`'s lease and the expiry of every key of the object.
local function hold(prefix, holders, hid, ms, lease)
  redis.call('ZADD', holders, ms + tonumber(lease), hid)
  for _, key in ipairs(object_keys(prefix)) do redis.call('PEXPIRE', key, lease) end
end
"""

# KEYS: fn, slot, holders. ARGV: maxsize, create, incarnation ('' for a
# permanent queue), prefix, holder id, lease ms. {maxsize, the temporary
# queue's incarnation or ''} once opened (a temporary one whose holders all
# died is made afresh); -1 missing, -2 not a queue, -4 it is permanent, -5
# temporary, {-6, its maxsize} another maxsize.
_OPEN_QUEUE = _RECLAIM + _OBJECT_KEYS + """
local wanted, incarnation, prefix = tonumber(ARGV[1]), ARGV[3], ARGV[4]
local bound = queue_bound(KEYS[1], KEYS[2])
-- TIME only for a temporary object: a user without it may open the others.
local ms = incarnation ~= '' and server_ms() or 0
if bound >= 0 and incarnation ~= '' and redis.call('HEXISTS', KEYS[1], 'tmp') == 1 and unheld(KEYS[3], ms) then
  remove_object(prefix)
  bound = -1
end
if bound == -1 then
  if ARGV[2] ~= '1' then return -1 end
  redis.call('HSET', KEYS[1], 'kind', 'queue', 'maxsize', wanted)
  if incarnation ~= '' then redis.call('HSET', KEYS[1], 'tmp', incarnation) end
  bound = wanted
end
if bound < 0 then return bound end
local tmp = redis.call('HGET', KEYS[1], 'tmp')
if incarnation ~= '' and not tmp then return -4 end
if incarnation == '' and tmp then return -5 end
if wanted > 0 and bound ~= wanted then return {-6, bound} end
if tmp then hold(prefix, KEYS[3], ARGV[5], ms, ARGV[6]) end
return {bound, tmp or ''}
"""

# KEYS: slot, fn, holders. ARGV: prefix, create, incarnation ('' for a
# permanent slot), holder id, lease ms. {version, the temporary slot's
# incarnation or ''} once opened (a temporary one whose holders all died is
# made afresh); -1 missing, -3 not a slot, -4 it is permanent, -5 temporary.
_OPEN_SLOT = _OBJECT_KEYS + """
local prefix, incarnation = ARGV[1], ARGV[3]
local found = redis.call('HMGET', KEYS[1], 'ver', 'tmp')
if not found[1] and redis.call('EXISTS', KEYS[2]) == 1 then return -3 end
-- TIME only for a temporary object: a user without it may open the others.
local ms = incarnation ~= '' and server_ms() or 0
if found[1] and found[2] and incarnation ~= '' and unheld(KEYS[3], ms) then
  remove_object(prefix)
  found = {false, false}
end
if not found[1] then
  if ARGV[2] ~= '1' then return -1 end
  redis.call('HSET', KEYS[1], 'ver', 0)
  if incarnation ~= '' then redis.call('HSET', KEYS[1], 'tmp', incarnation) end
  found = {'0', incarnation ~= '' and incarnation}
end
if incarnation ~= '' and not found[2] then return -4 end
if incarnation == '' and found[2] then return -5 end
if found[2] then hold(prefix, KEYS[3], ARGV[4], ms, ARGV[5]) end
return {tonumber(found[1]), found[2] or ''}
"""

# KEYS: marker (:slot or :fn), holders. ARGV: prefix, incarnation, holder
# id, lease ms. 1 while the object is this incarnation, whose keys' expiry
# and this holder's lease it renews; 0 once it is gone.
_RENEW_TEMPORARY = _OBJECT_KEYS + """
if redis.call('HGET', KEYS[1], 'tmp') ~= ARGV[2] then return 0 end
hold(ARGV[1], KEYS[2], ARGV[3], server_ms(), ARGV[4])
return 1
"""

# KEYS: marker, holders. ARGV: prefix, incarnation, holder id. Lets go; the
# last live holder removes the object. 1 when it did.
_LEAVE_TEMPORARY = _OBJECT_KEYS + """
if redis.call('HGET', KEYS[1], 'tmp') ~= ARGV[2] then return 0 end
redis.call('ZREM', KEYS[2], ARGV[3])
if not unheld(KEYS[2], server_ms()) then return 0 end
remove_object(ARGV[1])
return 1
"""

QUEUE_SCRIPTS = {
    "open_queue": _OPEN_QUEUE, "queue_put": _PUT, "queue_take": _TAKE, "queue_finish": _FINISH,
    "queue_length": _LENGTH, "open_slot": _OPEN_SLOT, "renew_temporary": _RENEW_TEMPORARY,
    "leave_temporary": _LEAVE_TEMPORARY,
}

# What the removal of a name runs beside deleting its slot and marker:
# forget_extras(prefix).
FORGET_EXTRAS = _OBJECT_KEYS
