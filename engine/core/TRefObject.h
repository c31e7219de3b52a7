#pragma once
#include <atomic>
#include <cstdint>

// Intrusive reference count. The creator holds the first reference; the object
// deletes itself when the last one is released.
class TRefObject {
public:
    TRefObject() = default;
    TRefObject(const TRefObject&) = delete;
    TRefObject& operator=(const TRefObject&) = delete;
    virtual ~TRefObject() = default;

    virtual TRefObject* AddRef() {
        count_.fetch_add(1, std::memory_order_relaxed);
        return this;
    }
    virtual int32_t Release() {
        const int32_t left = count_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0)
            delete this;
        return left;
    }
    virtual int32_t GetRefCount() const { return count_.load(std::memory_order_acquire); }

private:
    std::atomic<int32_t> count_{1};
};

// Holds one reference for a scope or a member; adopts the creator's reference when
// constructed from a fresh object.
template <typename T> class TRef {
public:
    TRef() = default;
    static TRef Adopt(T* p) {
        TRef r;
        r.p_ = p;
        return r;
    }
    static TRef Share(T* p) {
        if (p)
            p->AddRef();
        return Adopt(p);
    }
    TRef(const TRef& o) : p_(o.p_) {
        if (p_)
            p_->AddRef();
    }
    TRef(TRef&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    TRef& operator=(TRef o) noexcept {
        T* t = p_;
        p_ = o.p_;
        o.p_ = t;
        return *this;
    }
    ~TRef() { reset(); }
    void reset() {
        if (p_) {
            T* t = p_;
            p_ = nullptr;
            t->Release();
        }
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};
