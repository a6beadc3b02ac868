// The frame of the wire protocol: a 4-byte little-endian length n, then the n bytes of the
// body. One request frame goes from client to server and one result frame back, on one
// connection each. Sending and receiving a frame live here for the server, the client
// library, the tests and the benchmarks alike.
//
// Thread safety: every function may run on many threads at once, one socket per thread.
#pragma once

#include <cstdint>
#include <string>

#include "net/socket_io.h"

constexpr int kFrameLengthBytes = 4;

// The frame of `body`: its length, then the body.
std::string MakeFrame(const std::string& body);

// Sends the frame of the n bytes at `body`, the length and the body written together without
// a copy. Returns n + 4 when all went, otherwise a negative count as RecvFully/SendFully give.
int SendFrame(int fd, const char* body, int32_t n, Deadline deadline);

enum class FrameStatus {
  kOk,
  kNoLength,   // the 4 bytes of the length did not all arrive (closed, failed or late)
  kBadLength,  // the length is outside what the caller accepts; its body was not read
  kShortBody,  // the body did not all arrive
};

// What ReceiveFrame saw.
struct tFrameReceipt {
  FrameStatus status = FrameStatus::kNoLength;
  int32_t length = 0;  // the length announced (valid from kBadLength on)
  // Bytes of the failing part as RecvFully counts them: for kNoLength the result of reading
  // the length, for kShortBody the result of reading the body as one transfer (negative).
  int received = 0;
};

// Receives one frame into *body (replaced), the whole exchange bounded by `deadline`. A
// length outside minLength..maxLength is refused before its body is read. The body buffer
// grows with the bytes that actually arrive, never ahead of them by more than 1 MiB, so an
// absurd announced length costs no memory before its bytes come.
tFrameReceipt ReceiveFrame(int fd, int32_t minLength, int32_t maxLength, Deadline deadline,
                           std::string* body);
