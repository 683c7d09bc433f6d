/* The Win32 errors of MMCSS that neither the layer's windows.h nor mingw-w64's headers
   declare, for C and C++ on both platforms. Where a system header has one, its value stands. */
#pragma once

#ifndef ERROR_TOO_MANY_THREADS
#define ERROR_TOO_MANY_THREADS 565u
#endif
#ifndef ERROR_PRIVILEGE_NOT_HELD
#define ERROR_PRIVILEGE_NOT_HELD 1314u
#endif
#ifndef ERROR_INVALID_TASK_NAME
#define ERROR_INVALID_TASK_NAME 1550u
#endif
#ifndef ERROR_INVALID_TASK_INDEX
#define ERROR_INVALID_TASK_INDEX 1551u
#endif
#ifndef ERROR_THREAD_ALREADY_IN_TASK
#define ERROR_THREAD_ALREADY_IN_TASK 1552u
#endif
