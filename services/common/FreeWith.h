// One deleter for every C handle: a unique_ptr that frees with the handle's own free call, so that
// every path out of a function releases what it obtained and no code frees by hand.
#pragma once

#include <memory>

namespace kelvane {

template <auto Free> struct CFreeWith
{
    template <typename T> void operator()(T* handle) const noexcept { Free(handle); }
};

template <typename T, auto Free> using FreedPtr = std::unique_ptr<T, CFreeWith<Free>>;

} // namespace kelvane
