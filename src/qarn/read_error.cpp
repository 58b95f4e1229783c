#include "qarn/read_error.hpp"

namespace qarn {

std::string read_message(const ReadError& error) {
  return kReadErrorPrefix + message(error.error) + " at byte " + std::to_string(error.offset);
}

}  // namespace qarn
