/* spawn_floor PROGRAM SECONDS THREADS [DIR]: the floor of any gateway that starts a process per
   request. Each thread runs PROGRAM on a file of its own in DIR (default /tmp; posix_spawn, then
   waitpid) as fast as it can for SECONDS; prints the programs run per second, all threads
   together. */
#include <pthread.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

static const char* g_program;
static const char* g_directory = "/tmp";
static double g_seconds;

static double Now(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec + now.tv_nsec / 1e9;
}

static void* Run(void* argument) {
  long* count = argument;
  char path[4096];
  snprintf(path, sizeof path, "%s/spawn-floor-%d-%p", g_directory, (int)getpid(), argument);
  const double end = Now() + g_seconds;
  while (Now() < end) {
    FILE* file = fopen(path, "wb");
    if (file != NULL) fclose(file);
    char* argv[] = {(char*)g_program, path, NULL};
    pid_t pid;
    if (posix_spawn(&pid, g_program, NULL, NULL, argv, environ) != 0) break;
    int status;
    waitpid(pid, &status, 0);
    ++*count;
  }
  unlink(path);
  return NULL;
}

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) return 2;
  if (argc == 5) g_directory = argv[4];
  g_program = argv[1];
  g_seconds = atof(argv[2]);
  const int threads = atoi(argv[3]);
  if (threads < 1 || threads > 64) return 2;
  pthread_t ids[64];
  long counts[64] = {0};
  for (int k = 0; k < threads; ++k) pthread_create(&ids[k], NULL, Run, &counts[k]);
  long total = 0;
  for (int k = 0; k < threads; ++k) {
    pthread_join(ids[k], NULL);
    total += counts[k];
  }
  printf("%.1f\n", total / g_seconds);
  return 0;
}
