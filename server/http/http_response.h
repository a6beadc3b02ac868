// tHttpResponse: one response of the HTTP interface as the routes make it (status, content
// type, body and the headers they imply), and the JSON error body every route answers a
// refusal with. Plain values: any number of threads may make them.
#pragma once

#include <string>

struct tHttpResponse {
  int status = 200;
  const char* contentType = "application/json";
  std::string body;
  int cappedAt = 0;       // the page count was cut to this many (header X-Page-Count-Capped)
  bool timedOut = false;  // a 503 of a query stopped by its time budget
};

// The JSON error body {"error": message} with `status`.
tHttpResponse ErrorAnswer(int status, const std::string& message);
