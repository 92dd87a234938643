// The model's libdispatch: the main queue and dispatch_async_f, as keytap's macOS backend uses it.
#pragma once

using dispatch_queue_t = struct dispatch_queue_s*;
using dispatch_function_t = void (*)(void* context);

dispatch_queue_t dispatch_get_main_queue();
void dispatch_async_f(dispatch_queue_t queue, void* context, dispatch_function_t work);
