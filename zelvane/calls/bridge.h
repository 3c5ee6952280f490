// Hosted functions, by role: the record and its life (calls/record.h),
// waiting on the call word and the callers' queue (calls/queue.h), the
// serving side (calls/serving.h) and the calling side
// (calls/calling.h).
#pragma once

#include "calls/calling.h"
