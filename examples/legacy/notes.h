/* notes.h - a notes module of the kind classic applications carried for
 * years, compiled unchanged against <KRMM/MacMemory.h>. */
#ifndef NOTES_H
#define NOTES_H

#ifdef __cplusplus
extern "C" {
#endif

/* Runs the module's own session (prints what it does). Returns 0 when every
 * Memory Manager call behaved as the module expects. */
int Notes_RunSession(void);

#ifdef __cplusplus
}
#endif

#endif
