/* query_example: runs one query through libTrindleAgentAPI and prints the result document.
 *
 *   query_example <configuration> <query> [start] [page-count]
 *
 * The document is written to a temporary file, printed to standard output and removed. */
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "TrindleAgentAPI.h"

int main(int argc, char** argv) {
  char path[] = "/tmp/query_example.XXXXXX";
  int start = argc > 3 ? atoi(argv[3]) : 0;
  int page_count = argc > 4 ? atoi(argv[4]) : 20;
  int fd;
  FILE* file;
  char buffer[4096];
  size_t n;

  if (argc < 3) {
    fprintf(stderr, "usage: %s <configuration> <query> [start] [page-count]\n", argv[0]);
    return 2;
  }
  fd = mkstemp(path);
  if (fd < 0) {
    perror("mkstemp");
    return 1;
  }
  close(fd);
  if (trindle_query_client(argv[1], argv[2], start, page_count, path) != 0) {
    fprintf(stderr, "the query failed\n");
    unlink(path);
    return 1;
  }
  file = fopen(path, "rb");
  if (file == NULL) {
    perror(path);
    unlink(path);
    return 1;
  }
  while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) fwrite(buffer, 1, n, stdout);
  fclose(file);
  unlink(path);
  return 0;
}
