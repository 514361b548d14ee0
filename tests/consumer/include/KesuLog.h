#pragma once  // the application's own header of this name (see thread_annotations.h)
#define APP_OWN_KESU_LOG 1
