// Scratch files for the trie, word-list and dictionary-mode tests: each test process gets
// its own directory under the test temp dir, removed by nobody (the OS temp cleaner does).
#pragma once

#include <string>

// Path of `name` inside this process's scratch directory.
std::string ScratchPath(const std::string& name);

// Writes `bytes` to ScratchPath(name) and returns that path.
std::string WriteScratchFile(const std::string& name, const std::string& bytes);

// The whole content of a file ("" when it cannot be read).
std::string ReadFileBytes(const std::string& path);
