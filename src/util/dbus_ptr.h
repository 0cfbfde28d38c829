// Small owners for libdbus references, so that no path leaks or releases
// a reference twice. They hold exactly one reference each.
#pragma once

#include <dbus/dbus.h>

#include <utility>

template <typename T, T *(*Ref)(T *), void (*Unref)(T *)>
class DBusRef {
public:
    DBusRef() = default;
    // Adopts a reference the caller already owns.
    explicit DBusRef(T *adopt) : ptr_(adopt) {}
    DBusRef(const DBusRef &other) : ptr_(other.ptr_ ? Ref(other.ptr_) : nullptr) {}
    DBusRef(DBusRef &&other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    DBusRef &operator=(DBusRef other) noexcept
    {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~DBusRef() { reset(); }

    static DBusRef share(T *borrowed) { return DBusRef(borrowed ? Ref(borrowed) : nullptr); }

    T *get() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    T *release() { return std::exchange(ptr_, nullptr); }
    void reset(T *adopt = nullptr)
    {
        if (ptr_)
            Unref(ptr_);
        ptr_ = adopt;
    }

private:
    T *ptr_ = nullptr;
};

using MessagePtr = DBusRef<DBusMessage, dbus_message_ref, dbus_message_unref>;
using ConnectionPtr = DBusRef<DBusConnection, dbus_connection_ref, dbus_connection_unref>;
using PendingCallPtr = DBusRef<DBusPendingCall, dbus_pending_call_ref, dbus_pending_call_unref>;

// A DBusError that is freed on every path.
class ScopedError {
public:
    ScopedError() { dbus_error_init(&error_); }
    ScopedError(const ScopedError &) = delete;
    ScopedError &operator=(const ScopedError &) = delete;
    ~ScopedError() { dbus_error_free(&error_); }

    DBusError *get() { return &error_; }
    bool is_set() const { return dbus_error_is_set(&error_); }
    const char *name() const { return error_.name; }
    const char *message() const { return error_.message; }
    void clear() { dbus_error_free(&error_); }

private:
    DBusError error_;
};

// The header fields as the trace dumps print them: absent ones as "(null)".
inline const char *or_null(const char *s) { return s ? s : "(null)"; }
