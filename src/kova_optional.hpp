// An optional value that lives in the object's own storage; the pointer to
// that storage is set exactly when a value is held.
#pragma once

#include <exception>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace kova {

class bad_optional_access : public std::exception {};

template <typename T>
class optional {
public:
	using value_type = T;

	// User-provided, so that a const empty optional can be declared.
	optional() noexcept {}

	optional(const T &value) { assign(value); }                                            // NOLINT: implicit by design
	optional(T &&value) noexcept(std::is_nothrow_move_constructible_v<T>) { assign(std::move(value)); } // NOLINT

	optional(const optional &other)
	{
		if (other.m_value != nullptr)
			assign(*other.m_value);
	}

	optional(optional &&other) noexcept(std::is_nothrow_move_constructible_v<T>)
	{
		if (other.m_value != nullptr)
			assign(std::move(*other.m_value));
	}

	~optional() { destruct(); }

	optional &operator=(const optional &other)
	{
		if (this == &other)
			return *this;
		if (other.m_value != nullptr)
			assign(*other.m_value);
		else
			destruct();
		return *this;
	}

	optional &operator=(optional &&other) noexcept(std::is_nothrow_move_constructible_v<T>)
	{
		if (this == &other)
			return *this;
		if (other.m_value != nullptr)
			assign(std::move(*other.m_value));
		else
			destruct();
		return *this;
	}

	optional &operator=(const T &value)
	{
		assign(value);
		return *this;
	}

	optional &operator=(T &&value)
	{
		assign(std::move(value));
		return *this;
	}

	[[nodiscard]] bool has_value() const noexcept { return m_value != nullptr; }
	explicit operator bool() const noexcept { return has_value(); }

	T &value()
	{
		if (m_value == nullptr)
			throw bad_optional_access{};
		return *m_value;
	}

	const T &value() const
	{
		if (m_value == nullptr)
			throw bad_optional_access{};
		return *m_value;
	}

	template <typename U>
	T value_or(U &&fallback) const
	{
		return m_value != nullptr ? *m_value : static_cast<T>(std::forward<U>(fallback));
	}

	T &operator*() noexcept { return *m_value; }
	const T &operator*() const noexcept { return *m_value; }
	T *operator->() noexcept { return m_value; }
	const T *operator->() const noexcept { return m_value; }

	template <typename... Args>
	T &emplace(Args &&...args)
	{
		if constexpr (std::is_polymorphic_v<T>) {
			// Build a temporary first so that a throwing constructor leaves the old value alone.
			assign(T(std::forward<Args>(args)...));
		} else {
			destruct();
			m_value = ::new (static_cast<void *>(&m_storage)) T(std::forward<Args>(args)...);
		}
		return *m_value;
	}

	// Assigning the held value to itself keeps it (it would be destroyed before the copy).
	void assign(const T &value)
	{
		if (std::addressof(value) == m_value)
			return;
		destruct();
		m_value = ::new (static_cast<void *>(&m_storage)) T(value);
	}

	void assign(T &&value)
	{
		if (std::addressof(value) == m_value)
			return;
		destruct();
		m_value = ::new (static_cast<void *>(&m_storage)) T(std::move(value));
	}

	void destruct() noexcept
	{
		if (m_value != nullptr) {
			std::destroy_at(m_value);
			m_value = nullptr;
		}
	}

	void reset() noexcept { destruct(); }

private:
	T *m_value = nullptr;
	alignas(T) unsigned char m_storage[sizeof(T)];
};

} // namespace kova
