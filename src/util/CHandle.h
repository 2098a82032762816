#pragma once

#include <memory>

// The owner of a C library's handle, freed with the library's own function when the owner
// goes: CHandle<zip_t, zip_discard> is a std::unique_ptr<zip_t> that calls zip_discard.
template <auto Free> struct FreeWith {
  template <typename T> void operator()(T* handle) const { Free(handle); }
};

template <typename T, auto Free> using CHandle = std::unique_ptr<T, FreeWith<Free>>;
