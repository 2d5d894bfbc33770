#pragma once

// Runs `action` on a thread without the capabilities that let root ignore file permissions,
// so that a read-only directory is read-only to the test as it is to a user, whoever runs
// the tests. (Capabilities belong to a thread; the rest of the process keeps them.)

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <functional>
#include <thread>

namespace orvo::testing {

inline void withoutPermissionOverride(const std::function<void()>& action) {
  std::thread([&] {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) == 0) {
      const auto overrides = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER);
      data[0].effective &= ~overrides;
      ::syscall(SYS_capset, &header, data);
    }
    action();
  }).join();
}

}  // namespace orvo::testing
