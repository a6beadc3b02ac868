#include "server/http/http_answer.h"

#include <nlohmann/json.hpp>

tHttpAnswer ErrorAnswer(int status, const std::string& message) {
  tHttpAnswer answer;
  answer.status = status;
  nlohmann::ordered_json body;
  body["error"] = message;
  answer.body = body.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  return answer;
}
