#pragma once
#include <string>

namespace tamrik::platform {

class ShellService {
 public:
  virtual ~ShellService() = default;
  // Opens url with the desktop's default handler without waiting for it. False when it could not start.
  virtual bool openUrl(const std::string& url) = 0;
};

}  // namespace tamrik::platform
