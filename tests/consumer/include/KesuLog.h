// The application's own header of this name (see thread_annotations.h).
#pragma once
#define APP_OWN_KESU_LOG 1
