#pragma once

#include "ControlDeckCore/adapters/AdapterRecords.h"

namespace veltrane::deck {

class SystemSampling {
public:
    virtual ~SystemSampling() = default;
    virtual SystemSample sample() = 0;
};

}  // namespace veltrane::deck
