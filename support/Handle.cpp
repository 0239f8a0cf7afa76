// The owner of one file descriptor.
#include <unistd.h>

#include "TamBase.h"

namespace Tam {

Handle::~Handle() {
    Handle::Close();
}

Handle& Handle::operator=(int raw) {
    if (raw != fd) Close();
    fd = raw;
    return *this;
}

void Handle::Close() {
    if (fd < 0) return;
    // The descriptor is gone after close() even when it reports an error.
    ::close(fd);
    fd = -1;
}

}  // namespace Tam
