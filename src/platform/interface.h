// Root of every reference-counted interface of the user agent. Query, add
// reference and release are std::shared_ptr and std::dynamic_pointer_cast;
// a posted message carries its own shared_ptr<IInterface>.
#pragma once

#include <memory>

namespace qv {

class IInterface {
public:
  virtual ~IInterface() = default;
};

using IInterfacePtr = std::shared_ptr<IInterface>;

}  // namespace qv
