/* One call beyond the contract, which the plug-in never makes: why this thread's last query, load
 * or conversion failed, in words, for people (vekhost prints them; users pass them on). A library
 * without it is asked nothing: callers look it up at run time. */
#ifndef VEK_IMAGELIB_REFUSAL_H
#define VEK_IMAGELIB_REFUSAL_H

#include "imagelib/vek.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Returns that call's code (VEK_OK if it succeeded, or if none ran on this thread) and writes its
 * reason into `text`, cut to `size` bytes with the terminating NUL: "" where none was given. */
VEK_LIBRARY_EXPORT VekError VEKAPI vekGetLastRefusal(char* text, uint32_t size);
typedef VekError(VEKAPI* VekGetLastRefusalFn)(char* text, uint32_t size);

#ifdef __cplusplus
}
#endif

#endif
