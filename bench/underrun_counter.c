// Loaded with LD_PRELOAD into a program that plays through libasound: counts
// the snd_pcm_writei calls that return -EPIPE (an underrun) and, at each
// snd_pcm_close, appends "underruns U writes W at N..." to the file named by
// UNDERRUN_LOG, N being the numbers (from 1) of the first 8 writes that
// underran. It counts the same way for every program.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

typedef struct _snd_pcm snd_pcm_t;

static long underruns;
static long writes;
static long at[8];

long snd_pcm_writei(snd_pcm_t* pcm, const void* buffer, unsigned long frames) {
  static long (*real)(snd_pcm_t*, const void*, unsigned long);
  if (real == NULL) real = (long (*)(snd_pcm_t*, const void*, unsigned long))dlsym(RTLD_NEXT, "snd_pcm_writei");
  const long result = real(pcm, buffer, frames);
  ++writes;
  if (result == -EPIPE && underruns < 8) at[underruns] = writes;
  if (result == -EPIPE) ++underruns;
  return result;
}

int snd_pcm_close(snd_pcm_t* pcm) {
  static int (*real)(snd_pcm_t*);
  if (real == NULL) real = (int (*)(snd_pcm_t*))dlsym(RTLD_NEXT, "snd_pcm_close");
  const char* path = getenv("UNDERRUN_LOG");
  FILE* log = path == NULL ? NULL : fopen(path, "a");
  if (log != NULL) {
    fprintf(log, "underruns %ld writes %ld at", underruns, writes);
    for (long i = 0; i < underruns && i < 8; ++i) fprintf(log, " %ld", at[i]);
    fputc('\n', log);
    fclose(log);
  }
  underruns = writes = 0;
  return real(pcm);
}
