#pragma once

#include <stdexcept>
#include <string>

// The machine's broker refused to register this copy. anotherCopy(): a copy of the same account
// (and logon session) is registered with it already, as the single-instance claim would have
// found; otherwise what() says why the broker refused.
class BrokerRefusal : public std::runtime_error {
  public:
    BrokerRefusal(const std::string& reason, bool anotherCopy);
    bool anotherCopy() const { return duplicate; }

  private:
    bool duplicate;
};
