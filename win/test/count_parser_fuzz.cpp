// libFuzzer target: the thread count read from any first argument is what a plain
// digit-by-digit reading of strtol's rules gives, saturated to 32 bits. (strtoll would be no
// second opinion: on Linux it is strtol.)
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "console.h"

namespace {

constexpr std::int64_t kLowest = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kHighest = std::numeric_limits<std::int32_t>::max();

std::int64_t Clamped(std::int64_t value) {
  return value < kLowest ? kLowest : value > kHighest ? kHighest : value;
}

// strtol's rules in the C locale, written out: white space, an optional sign, decimal digits.
std::int64_t ByHand(const char* argument) {
  const char* at = argument;
  while (*at != '\0' && std::strchr(" \t\n\v\f\r", *at) != nullptr) ++at;
  const bool negative = *at == '-';
  if (*at == '-' || *at == '+') ++at;
  std::int64_t magnitude = 0;
  for (; *at >= '0' && *at <= '9'; ++at) {
    // Past the 32-bit range the value only saturates: stop growing there.
    if (magnitude <= kHighest + 1) magnitude = magnitude * 10 + (*at - '0');
  }
  return Clamped(negative ? -magnitude : magnitude);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An argument ends at its first NUL, as one from the command line does.
  std::string argument(reinterpret_cast<const char*>(data), size);
  argument.resize(std::strlen(argument.c_str()));
  char program[] = "quorvane";
  char* argv[] = {program, argument.data(), nullptr};
  const std::int64_t parsed = quorvane::ThreadCountFromArguments(2, argv);
  const std::int64_t byHand = ByHand(argument.c_str());
  if (parsed != byHand) {
    std::fprintf(stderr, "\"%s\": parsed %lld, by hand %lld\n", argument.c_str(),
                 static_cast<long long>(parsed), static_cast<long long>(byHand));
    std::abort();
  }
  return 0;
}
