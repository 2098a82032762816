#pragma once

#include <pthread.h>

#include <cstring>

// Thread names as /proc/PID/task/*/comm shows them (at most 15 characters), so that each
// thread of the process can be told apart by what it is for.
namespace ThreadName {

// Names the calling thread.
inline void set(const char* name)
{
  pthread_setname_np(pthread_self(), name);
}

// Names the calling thread for as long as it lives, then gives its name back. A new thread
// starts with its creator's name, so threads that a library starts within the scope carry
// this name for good.
class Scope {
public:
  explicit Scope(const char* name)
  {
    if (pthread_getname_np(pthread_self(), previous, sizeof(previous)) != 0)
      std::strcpy(previous, "orvane");
    set(name);
  }
  ~Scope() { set(previous); }
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;

private:
  char previous[16];
};

} // namespace ThreadName
