// A runtime state with the device and the emulated GPU open, an engine, and step attributes.
#pragma once

#include "kova_delegated_deleter.hpp"
#include "runtime_state.hpp"
#include "step/factory.hpp"
#include "step/object.hpp"
#include "utility/kova_utils.hpp"

#include <kova/test_control.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <unordered_map>

namespace kova::bench::gpu_test {

inline void on_task(kova_task * /*task*/, kova_data /*task_user_data*/, kova_data /*ctx_user_data*/) {}

class gpu_step_test : public testing::Test {
protected:
	void SetUp() override
	{
		kova_test_reset();
		m_state.open_device_and_representor("03:00.0", {});
		m_state.open_gpu_device("65:00.0");
		m_pe = utility::make_pe();
	}
	void TearDown() override { kova_test_reset(); }

	static step::object::attributes attributes(std::unordered_map<std::string, std::string> map = {})
	{
		step::object::attributes value;
		value.task_pool_size = 8;
		value.job_output_buffer_size = 4096;
		value.job_count = 4;
		value.job_input_size = 1024;
		value.attribute_map = std::move(map);
		return value;
	}

	std::unique_ptr<step::object> make(const std::string &name, const step::object::attributes &value)
	{
		return step::factory::create_step(name, value, m_state, m_pe.get(), on_task, on_task, kova_data{.u64 = 0});
	}

	runtime_state m_state;
	std::unique_ptr<kova_pe, kova::delegated_deleter<kova_pe>> m_pe;
};

} // namespace kova::bench::gpu_test
