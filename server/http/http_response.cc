#include "server/http/http_response.h"

#include <nlohmann/json.hpp>

tHttpResponse ErrorAnswer(int status, const std::string& message) {
  tHttpResponse answer;
  answer.status = status;
  nlohmann::ordered_json body;
  body["error"] = message;
  answer.body = body.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  return answer;
}
