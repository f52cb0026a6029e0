// The toolbar's private window messages. Each is handled only by the window named here.
#pragma once

#include <winuser.h>

// To an image label: wParam an IStream holding an image file (the sender keeps its reference).
#ifndef WM_LOAD_IMAGE_STREAM
#define WM_LOAD_IMAGE_STREAM (WM_USER + 100)
#endif
// To the status box: refresh its text from the status code and fill the page.
#ifndef WM_REFRESH_STATUS
#define WM_REFRESH_STATUS (WM_USER + 1000)
#endif
// To the toolbar window: wParam a finished PageLookupRequest.
#ifndef WM_LOOKUP_DONE
#define WM_LOOKUP_DONE (WM_USER + 1001)
#endif
