// Values and small types shared by every layer of the engine.
#pragma once

#include <cstdint>

namespace trindle {

// "None" throughout the engine: a field outside a list, a word not in the dictionary,
// an eliminated result entry.
constexpr int32_t kNone = -1;

}  // namespace trindle
