#include "platform/system/UUID.h"

#include <uuid/uuid.h>

namespace veltrane::sys {

std::string uuidString() {
    uuid_t id;
    uuid_generate_random(id);
    char text[37];
    uuid_unparse_upper(id, text);
    return text;
}

}  // namespace veltrane::sys
