#include "ControlDeckCore/media/MusicContentPolicy.h"

#include "platform/bundle/BundleInfo.h"

namespace veltrane::media {

bool MusicContentPolicy::externalLookupsAllowed() {
    return bundle::BundleInfo::boolean(kLicensedContentKey) != true;
}

}  // namespace veltrane::media
