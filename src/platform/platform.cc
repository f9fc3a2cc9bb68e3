// The platform in use, shared by both implementations: the native one unless a test
// installed another.
#include "platform/platform.h"

namespace zt4 {
namespace {

Platform* gInstalled = nullptr;

}  // namespace

Platform& Os() { return gInstalled ? *gInstalled : NativePlatform(); }

Platform* InstallPlatform(Platform* platform) {
  Platform* previous = &Os();
  gInstalled = platform;
  return previous;
}

}  // namespace zt4
