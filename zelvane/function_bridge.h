// Hosted functions, by role: the record and its life (function_record.h),
// waiting on the call word and the callers' queue (call_queue.h), the
// serving side (function_serving.h) and the calling side
// (function_calling.h).
#pragma once

#include "function_calling.h"
