#include "utility/async/sequence.hpp"

#include "kova_exception.hpp"

#include <utility>

namespace kova::bench::utility::async {

sequence::sequence(uint32_t time_limit_seconds)
	: m_deadline{std::chrono::steady_clock::now() + std::chrono::seconds{time_limit_seconds}}
{
}

sequence::sequence(std::vector<registered_activity> activities, uint32_t time_limit_seconds)
	: m_activities{std::move(activities)},
	  m_deadline{std::chrono::steady_clock::now() + std::chrono::seconds{time_limit_seconds}}
{
}

sequence::sequence(sequence &&other) noexcept
	: m_activities{std::move(other.m_activities)},
	  m_started{std::move(other.m_started)},
	  m_current{std::exchange(other.m_current, nullptr)},
	  m_next{std::exchange(other.m_next, nullptr)},
	  m_errors{std::move(other.m_errors)},
	  m_deadline{other.m_deadline}
{
	other.m_activities.clear();
	other.m_started.clear();
}

sequence &sequence::operator=(sequence &&other) noexcept
{
	if (this == &other)
		return *this;
	m_activities = std::move(other.m_activities);
	m_started = std::move(other.m_started);
	m_current = std::exchange(other.m_current, nullptr);
	m_next = std::exchange(other.m_next, nullptr);
	m_errors = std::move(other.m_errors);
	m_deadline = other.m_deadline;
	other.m_activities.clear();
	other.m_started.clear();
	return *this;
}

sequence::~sequence() = default;

void sequence::register_activity(std::string name, std::unique_ptr<activity> instance)
{
	m_activities.push_back(registered_activity{std::move(name), std::move(instance)});
}

activity *sequence::find(const std::string &name) const noexcept
{
	for (auto const &entry : m_activities) {
		if (entry.name == name)
			return entry.instance.get();
	}
	return nullptr;
}

void sequence::start(const std::string &name)
{
	activity *const first = find(name);
	if (first == nullptr)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unable to start sequence with unregistered activity: \"" + name + "\"");
	first->start();
	m_current = first;
	m_started.push_back(first);
}

poll_result sequence::poll()
{
	if (m_current == nullptr)
		return m_errors.empty() ? poll_result::has_result : poll_result::has_failed;

	if (!m_current->progress(*this))
		return poll_result::in_progress;

	if (m_next != nullptr) {
		activity *const next = std::exchange(m_next, nullptr);
		try {
			next->start();
		} catch (const kova::exception &ex) {
			// The activity that has just finished stays current and is undone first.
			m_errors.push_back(error{ex.code(), ex.what()});
			m_current->abort();
			return poll_result::in_progress;
		}
		m_started.push_back(next);
		m_current = next;
		return poll_result::in_progress;
	}

	if (m_errors.empty()) {
		m_current = nullptr;
		return poll_result::has_result;
	}

	// The activity that has just finished (by failing or by completing its undo)
	// leaves the started list; the one before it is undone next.
	if (!m_started.empty())
		m_started.pop_back();
	if (m_started.empty()) {
		m_current = nullptr;
	} else {
		m_current = m_started.back();
		m_current->abort();
	}
	return poll_result::in_progress;
}

void sequence::abort()
{
	// With an error already recorded the current activity is being undone (or
	// has cleaned up after its own failure): aborting it again would repeat its undo.
	bool const undoing = !m_errors.empty();
	m_errors.push_back(error{KOVA_ERROR_TIME_OUT, "Aborted by user"});
	if (m_current != nullptr && !undoing)
		m_current->abort();
}

void sequence::on_api_error(const companion::api::v1::error_response &error)
{
	if (m_current != nullptr)
		m_current->on_api_error(error);
}

void sequence::on_api_message(const companion::api::message_buffer &message)
{
	if (m_current != nullptr)
		m_current->on_api_message(message);
}

void sequence::select_next_activity(const std::string &name)
{
	m_next = find(name);
	if (m_next == nullptr)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unable to select unregistered activity: \"" + name + "\"");
}

void sequence::notify_sequence_failure(kova_error code, std::string message)
{
	m_errors.push_back(error{code, std::move(message)});
}

void sequence::notify_sequence_success()
{
	m_current = nullptr;
	m_next = nullptr;
}

} // namespace kova::bench::utility::async
