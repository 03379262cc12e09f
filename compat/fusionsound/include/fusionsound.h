/* Stand-in for the FusionSound interface as far as this system uses it:
 * initialisation, creation of the main interface and its release. */
#ifndef COMPAT_FUSIONSOUND_H
#define COMPAT_FUSIONSOUND_H

#include <directfb.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _IFusionSound IFusionSound;

struct _IFusionSound {
    void *priv;
    DFBResult (*AddRef)(IFusionSound *thiz);
    DFBResult (*Release)(IFusionSound *thiz);
};

/* Takes the library's own options ("--fs:name[=value],...") out of the
 * argument vector; an unknown one gives DFB_INVARG. */
DFBResult FusionSoundInit(int *argc, char *(*argv[]));

/* Delivers the main interface; the caller releases it with Release. */
DFBResult FusionSoundCreate(IFusionSound **ret_interface);

#ifdef __cplusplus
}
#endif

#endif
