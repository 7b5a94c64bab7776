#include "engine/compound/compound_internal.h"

namespace mkx::compound {

Status CompoundFileImpl::Commit(std::span<const StreamChange>) {
  return Error(ERROR_CALL_NOT_IMPLEMENTED);
}

}  // namespace mkx::compound
