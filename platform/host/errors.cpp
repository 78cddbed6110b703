// Host failures in the platform's words.
#include "platform/host/errors.h"

#include <cerrno>

namespace host::device {

DWORD PathError(store::PathStatus status, bool lastMissingIsFile) {
    switch (status) {
        case store::PathStatus::NotFound:
            return lastMissingIsFile ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
        case store::PathStatus::PathNotFound: return ERROR_PATH_NOT_FOUND;
        case store::PathStatus::Denied: return ERROR_ACCESS_DENIED;
        case store::PathStatus::Ok: break;
    }
    return ERROR_SUCCESS;
}

DWORD FileOpenError(int error) {
    return error == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
}

}  // namespace host::device
