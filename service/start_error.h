// A service that cannot start: the one-line message of why, exit status 1.
#ifndef DIO_BOARDD_START_ERROR_H
#define DIO_BOARDD_START_ERROR_H

#include <stdexcept>

namespace dio_boardd {

class StartError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace dio_boardd

#endif
