// C++ header: the thread-local values and the recursive mutex of
// libKXCommon, on which the per-thread last error rests (KXError.h).
#pragma once

#ifndef __cplusplus
#error "KXThread.h is a C++ header"
#endif

#include <pthread.h>

#include "kx_export.h"

// Frees one thread-local value; the store calls it when the value is replaced
// or the thread ends.
class KX_EXPORT basic_tls_cleanup {
 public:
  virtual ~basic_tls_cleanup();
  virtual void operator()(void* data) const = 0;
};

KX_EXPORT void* basic_tls_get_data(const void* key);
KX_EXPORT void basic_tls_set_data(const void* key, void* data,
                                  basic_tls_cleanup* cleanup, bool cleanOld);

// A thread-local variable of type T; its address is its key in every
// thread's store. Values are created lazily with `new T` by the owner.
template <class T>
class CKXTls {
 public:
  CKXTls() : cleanup_(new tls_cleanup) {}
  ~CKXTls() {
    if (basic_tls_get_data(this) != nullptr)
      basic_tls_set_data(this, nullptr, cleanup_, true);
    delete cleanup_;
  }
  CKXTls(const CKXTls&) = delete;
  CKXTls& operator=(const CKXTls&) = delete;

  T* get() const { return static_cast<T*>(basic_tls_get_data(this)); }
  void set(T* value) { basic_tls_set_data(this, value, cleanup_, true); }
  basic_tls_cleanup* cleanup() const { return cleanup_; }

 private:
  class tls_cleanup : public basic_tls_cleanup {
   public:
    void operator()(void* data) const override { delete static_cast<T*>(data); }
  };
  tls_cleanup* cleanup_;
};

// A recursive POSIX mutex.
class KX_EXPORT CKXMutex {
 public:
  CKXMutex();
  ~CKXMutex();
  CKXMutex(const CKXMutex&) = delete;
  CKXMutex& operator=(const CKXMutex&) = delete;
  bool lock();
  void unlock();

 private:
  pthread_mutex_t mutex_;
};
