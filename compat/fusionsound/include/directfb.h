/* Stand-in for the few DirectFB definitions that FusionSound programs use
 * here: the result codes and the fatal error report. */
#ifndef COMPAT_DIRECTFB_H
#define COMPAT_DIRECTFB_H

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    DFB_OK = 0,
    DFB_FAILURE,
    DFB_INIT,
    DFB_BUG,
    DFB_DEAD,
    DFB_UNSUPPORTED,
    DFB_UNIMPLEMENTED,
    DFB_ACCESSDENIED,
    DFB_INVARG,
    DFB_NOSYSTEMMEMORY
} DFBResult;

/* The text of a result code. */
const char *DirectFBErrorString(DFBResult result);

/* Prints one line naming the step and the result on standard error and ends
 * the process with status 1. */
DFBResult DirectFBErrorFatal(const char *msg, DFBResult result) __attribute__((noreturn));

#ifdef __cplusplus
}
#endif

#endif
