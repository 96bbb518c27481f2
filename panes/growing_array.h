#pragma once
// An array of plain values that grows in place: its storage comes from realloc, which moves the
// pages of a large block instead of copying its bytes. A std::vector holding a million rows
// copied tens of megabytes at each doubling, 120-160 ms of the window's time at once.

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

template <class T>
class CGrowingArray {
    static_assert(std::is_trivially_copyable_v<T>, "moved by realloc and memmove");

public:
    CGrowingArray() = default;
    ~CGrowingArray() { std::free(m_data); }
    CGrowingArray(const CGrowingArray&) = delete;
    CGrowingArray& operator=(const CGrowingArray&) = delete;
    CGrowingArray(CGrowingArray&& other) noexcept { swap(other); }
    CGrowingArray& operator=(CGrowingArray&& other) noexcept
    {
        CGrowingArray gone(std::move(other));
        swap(gone);
        return *this;
    }
    void swap(CGrowingArray& other) noexcept
    {
        std::swap(m_data, other.m_data);
        std::swap(m_size, other.m_size);
        std::swap(m_capacity, other.m_capacity);
    }

    size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    size_t capacity() const { return m_capacity; }
    T* begin() { return m_data; }
    T* end() { return m_data + m_size; }
    const T* begin() const { return m_data; }
    const T* end() const { return m_data + m_size; }
    T& operator[](size_t i) { return m_data[i]; }
    const T& operator[](size_t i) const { return m_data[i]; }

    void reserve(size_t n)
    {
        if (n <= m_capacity)
            return;
        void* grown = std::realloc(m_data, n * sizeof(T));
        if (!grown)
            throw std::bad_alloc();
        m_data = static_cast<T*>(grown);
        m_capacity = n;
    }
    void push_back(const T& value)
    {
        if (m_size == m_capacity)
            reserve(std::max<size_t>(64, m_capacity * 2));
        m_data[m_size++] = value;
    }
    void append(const T* first, const T* last)
    {
        const auto n = static_cast<size_t>(last - first);
        if (m_size + n > m_capacity)
            reserve(std::max(m_size + n, m_capacity * 2));
        if (n > 0)
            std::memcpy(m_data + m_size, first, n * sizeof(T));
        m_size += n;
    }
    void erase(T* first, T* last)
    {
        std::memmove(first, last, static_cast<size_t>(end() - last) * sizeof(T));
        m_size -= static_cast<size_t>(last - first);
    }
    void clear() { m_size = 0; }

private:
    T* m_data = nullptr;
    size_t m_size = 0;
    size_t m_capacity = 0;
};
