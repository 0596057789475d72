// C++ header: shared_ptr<T>, the reference-counted holder of libKXCommon
// for the libcrypto objects its helpers hand out (KXCrypto.h, KXSM.h).
#pragma once

#ifndef __cplusplus
#error "KXSharedPtr.h is a C++ header"
#endif

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <atomic>
#include <cstdint>
#include <new>

// shared_ptr<T>: a raw pointer plus a count block. The block starts with a use
// count of 1; copying a holder adds one, and the holder that drops the count
// to 0 frees the object (dispose) and then the block (destroy). An empty
// holder stands for "no object".

class shared_ptr_count_base {
 public:
  shared_ptr_count_base() : use_count_(1) {}
  virtual ~shared_ptr_count_base() {}
  // Frees the held object.
  virtual void dispose() = 0;
  // Frees this count block.
  virtual void destroy() { delete this; }

  void add_ref() { use_count_.fetch_add(1, std::memory_order_relaxed); }
  void release() {
    if (use_count_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      dispose();
      destroy();
    }
  }
  int32_t use_count() const {
    return use_count_.load(std::memory_order_acquire);
  }

 private:
  shared_ptr_count_base(const shared_ptr_count_base&) = delete;
  shared_ptr_count_base& operator=(const shared_ptr_count_base&) = delete;
  std::atomic<int32_t> use_count_;
};

template <class T, class D>
class shared_ptr_count_impld : public shared_ptr_count_base {
 public:
  shared_ptr_count_impld(T* ptr, D deleter) : ptr_(ptr), deleter_(deleter) {}
  void dispose() override { deleter_(ptr_); }

 private:
  T* ptr_;
  D deleter_;
};

// Deleters of the libcrypto objects handed out in holders.
struct _destructor_X509 {
  void operator()(X509* p) const { X509_free(p); }
};
struct _destructor_PKEY {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct _destructor_EC_POINT {
  void operator()(EC_POINT* p) const { EC_POINT_free(p); }
};
struct _destructor_ECDSA_SIG {
  void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
};

// The deleter a holder of T uses when none is given.
template <class T>
struct shared_ptr_default_deleter;
template <>
struct shared_ptr_default_deleter<X509> {
  typedef _destructor_X509 type;
};
template <>
struct shared_ptr_default_deleter<EVP_PKEY> {
  typedef _destructor_PKEY type;
};
template <>
struct shared_ptr_default_deleter<EC_POINT> {
  typedef _destructor_EC_POINT type;
};
template <>
struct shared_ptr_default_deleter<ECDSA_SIG> {
  typedef _destructor_ECDSA_SIG type;
};

template <class T>
class shared_ptr {
 public:
  shared_ptr() : ptr_(nullptr), count_(nullptr) {}
  // Takes ownership of `ptr` (null gives an empty holder). Should the count
  // block not be allocated, the object is freed and the holder stays empty.
  explicit shared_ptr(T* ptr)
      : shared_ptr(ptr, typename shared_ptr_default_deleter<T>::type()) {}
  template <class D>
  shared_ptr(T* ptr, D deleter) : ptr_(nullptr), count_(nullptr) {
    if (ptr == nullptr) return;
    count_ = new (std::nothrow) shared_ptr_count_impld<T, D>(ptr, deleter);
    if (count_ == nullptr) {
      deleter(ptr);
      return;
    }
    ptr_ = ptr;
  }
  shared_ptr(const shared_ptr& other) : ptr_(other.ptr_), count_(other.count_) {
    if (count_ != nullptr) count_->add_ref();
  }
  shared_ptr(shared_ptr&& other) noexcept
      : ptr_(other.ptr_), count_(other.count_) {
    other.ptr_ = nullptr;
    other.count_ = nullptr;
  }
  shared_ptr& operator=(shared_ptr other) noexcept {
    swap(other);
    return *this;
  }
  ~shared_ptr() {
    if (count_ != nullptr) count_->release();
  }

  void swap(shared_ptr& other) noexcept {
    T* p = ptr_;
    ptr_ = other.ptr_;
    other.ptr_ = p;
    shared_ptr_count_base* c = count_;
    count_ = other.count_;
    other.count_ = c;
  }
  void reset() { shared_ptr().swap(*this); }
  void reset(T* ptr) { shared_ptr(ptr).swap(*this); }

  T* get() const { return ptr_; }
  T* operator->() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }
  bool empty() const { return ptr_ == nullptr; }
  int32_t use_count() const {
    return count_ == nullptr ? 0 : count_->use_count();
  }

 private:
  T* ptr_;
  shared_ptr_count_base* count_;
};
