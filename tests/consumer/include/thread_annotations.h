// The application's own header of this common name: its include path must find this one, never the library's.
#pragma once
#define APP_OWN_THREAD_ANNOTATIONS 1
#define GUARDED_BY(x) __attribute__((unused))
