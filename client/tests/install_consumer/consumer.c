/* An application of the installed library: a call with a configuration that does not exist
 * must fail with -1 (and link and load through pkg-config or find_package). */
#include <TrindleAgentAPI.h>
#include <stdio.h>

int main(void) {
  int result = trindle_query_client("/nonexistent/client.xml", "q", 0, 10, "/nonexistent/r.xml");
  printf("%d\n", result);
  return result == -1 ? 0 : 1;
}
