# The subsystems of the system's code: one library target each, the targets it
# builds on, and the files it owns (globs relative to src/, matching sources
# and headers alike; <target>_REST globs take what no _FILES glob names). Every
# file under src/ belongs to exactly one entry; a
# target may include and call only its own files and those of the targets it
# builds on, directly or through them. Read by src/CMakeLists.txt and by
# scripts/checks.d/10-layering.sh.

set(KOVA_SUBSYSTEMS
  kova_base
  kova_configuration
  kova_sdk_access
  kova_statistics
  kova_companion_link
  kova_steps
  kova_peer
  kova_engine
  kova_companion_program
  kova_bench
  kova_bench_companion)

# Exception, optional value, aligned buffer, strings, files, joins, spans.
set(kova_base_USES)
set(kova_base_FILES
  kova_exception.* kova_optional*.* kova_delegated_deleter.* aligned_buffer.*
  utility/string_utils.* utility/file_utils.* utility/join.* utility/span.*
  utility/escape_non_printable.*)

# Command line, option table, configuration model, sweeps, validation, printing.
set(kova_configuration_USES kova_base)
set(kova_configuration_FILES
  configuration.* configuration_printer.* configuration_validation.* impl/config*
  utility/arg_parser.* utility/byte_unit.* utility/cfg_value_type.* utility/configuration_property.*
  utility/configuration_utils.* utility/cpu_core_set.* utility/sg_configuration.*
  utility/sweep_definition.* utility/value_format.*)

# Run-time loading of the SDK libraries, SDK object helpers, DPDK context.
set(kova_sdk_access_USES kova_base)
set(kova_sdk_access_FILES
  dl/* dl/impl/* utility/kova_utils.* utility/dpdk_common.* utility/remote_mmap_definition.*)

# Counters, statistics engine, console and CSV output, CPU usage.
set(kova_statistics_USES kova_configuration)
set(kova_statistics_FILES stats/* utility/cpu_stats_provider*)

# Protocol, TCP connection, request context, ssh launch, shell commands,
# environment information.
set(kova_companion_link_USES kova_sdk_access)
set(kova_companion_link_FILES
  companion/api/* companion/api/v1/* companion/remote_control.* companion/companion_app_lifetime.*
  impl/shell_process* utility/tcp_socket.* utility/command_runner.* utility/environment_information.*
  utility/pci_address.* utility/pci_information.*)

# The step interface, the runtime state steps read, asynchronous sequences and
# the local offload steps.
set(kova_steps_USES kova_configuration kova_sdk_access kova_companion_link)
set(kova_steps_FILES runtime_state.* utility/async/*)
set(kova_steps_REST step/*)

# Peer steps, the classes they share with the companion's workers, those workers,
# and the companion's state and pool that the workers are given.
# The GPU steps write their counters into the statistics types.
set(kova_peer_USES kova_steps kova_statistics)
set(kova_peer_FILES
  step/peer_* step/kova_comch* step/kova_eth* step/kova_rdma* step/kova_tessel* step/*remote*
  utility/comch_common* utility/eth_common* utility/eth_flow_ports* utility/rdma_common* utility/tessel_common*
  companion/worker/worker.* companion/worker/*_worker* companion/worker/worker_command_map.*
  companion/worker/pool.* companion/runtime_state.* companion/process_flags.*)

# Benchmark object, step factory, pipeline trial, worker threads and run loops,
# task pool, asynchronous poller, data providers.
set(kova_engine_USES kova_statistics kova_peer)
set(kova_engine_FILES
  benchmark*.* step/factory.* impl/async_poll* impl/batch_decision.* impl/buffer_chain.*
  impl/event_handle* impl/pipeline_* impl/relaxed_counter.* impl/run_timing.*
  impl/shared_thread_control_block.* impl/task_pool.* impl/task_wrapper.* impl/thread_affinity*
  impl/thread_data* utility/pipeline_info.* data_provider/*)

# The companion's methods, options, request loop, runtime state, worker factory and pool.
set(kova_companion_program_USES kova_peer)
set(kova_companion_program_FILES)
set(kova_companion_program_REST companion/* companion/impl/* companion/worker/*)

# The two programs' entry points.
set(kova_bench_USES kova_engine)
set(kova_bench_FILES kova_bench_main.cpp)
set(kova_bench_companion_USES kova_companion_program)
set(kova_bench_companion_FILES companion/kova_bench_companion_main.cpp)

# kova_subsystem_files(<root> <subsystem> <out> [REST]): the files below <root> that the
# subsystem's _FILES (or _REST) globs match, relative to <root>, sorted.
function(kova_subsystem_files root subsystem out)
  set(kind FILES)
  if(ARGC GREATER 3)
    set(kind ${ARGV3})
  endif()
  set(files)
  foreach(pattern IN LISTS ${subsystem}_${kind})
    file(GLOB matched RELATIVE ${root} ${root}/${pattern})
    list(FILTER matched INCLUDE REGEX "\\.(cpp|hpp|h)$")
    list(APPEND files ${matched})
  endforeach()
  list(REMOVE_DUPLICATES files)
  list(SORT files)
  set(${out} ${files} PARENT_SCOPE)
endfunction()

# kova_subsystem_closure(<subsystem> <out>): the subsystem and every target it
# builds on, directly or through others.
function(kova_subsystem_closure subsystem out)
  set(result ${subsystem})
  set(pending ${${subsystem}_USES})
  list(LENGTH pending count)
  while(count GREATER 0)
    list(POP_FRONT pending next)
    if(NOT next IN_LIST result)
      list(APPEND result ${next})
      list(APPEND pending ${${next}_USES})
    endif()
    list(LENGTH pending count)
  endwhile()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

# kova_subsystem_owners(<root>): sets KOVA_OWNER_<file> for every file under <root>
# and fails naming any file that no subsystem or more than one claims.
function(kova_subsystem_owners root)
  foreach(subsystem IN LISTS KOVA_SUBSYSTEMS)
    kova_subsystem_files(${root} ${subsystem} files)
    foreach(file IN LISTS files)
      if(DEFINED KOVA_OWNER_${file})
        message(FATAL_ERROR "src/${file} belongs to both ${KOVA_OWNER_${file}} and ${subsystem}: "
          "narrow the patterns in src/subsystems.cmake")
      endif()
      set(KOVA_OWNER_${file} ${subsystem})
      set(KOVA_OWNER_${file} ${subsystem} PARENT_SCOPE)
    endforeach()
  endforeach()
  foreach(subsystem IN LISTS KOVA_SUBSYSTEMS)
    kova_subsystem_files(${root} ${subsystem} files REST)
    foreach(file IN LISTS files)
      if(NOT DEFINED KOVA_OWNER_${file})
        set(KOVA_OWNER_${file} ${subsystem}-rest)
        set(KOVA_OWNER_${file} ${subsystem} PARENT_SCOPE)
      elseif(KOVA_OWNER_${file} MATCHES "-rest$")
        message(FATAL_ERROR "src/${file} is left to both ${KOVA_OWNER_${file}} and ${subsystem}")
      endif()
    endforeach()
  endforeach()
  file(GLOB_RECURSE all RELATIVE ${root} ${root}/*.cpp ${root}/*.hpp ${root}/*.h)
  foreach(file IN LISTS all)
    if(NOT DEFINED KOVA_OWNER_${file})
      message(FATAL_ERROR "src/${file} belongs to no subsystem: add it to a target's patterns in "
        "src/subsystems.cmake")
    endif()
  endforeach()
endfunction()
