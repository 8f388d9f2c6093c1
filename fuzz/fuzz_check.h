#pragma once
// Every check holds in every build: a broken invariant aborts, and libFuzzer keeps the input.
#undef NDEBUG
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
