#pragma once

#include <string>

namespace tolvane {

// libcurl's process-wide state, held for the lifetime of an owner: every
// controller holds one, and libcurl counts the calls, so only the last release
// frees it.
class CurlGlobal {
  public:
    CurlGlobal();
    ~CurlGlobal();
    CurlGlobal(const CurlGlobal&) = delete;
    CurlGlobal& operator=(const CurlGlobal&) = delete;

    bool ok() const { return ok_; }
    // libcurl's text when the initialisation failed.
    const std::string& error() const { return error_; }

  private:
    bool ok_ = false;
    std::string error_;
};

} // namespace tolvane
