// Whether the lock-memory privilege is enabled for the process. Internal.
#pragma once

namespace win::detail {

bool lock_privilege_enabled();

}  // namespace win::detail
