#include "serial/line_decorator.h"

namespace quorel {

OpenResult DevicesDecorator::Open(const char* portName, int32_t lineSpeed, int32_t parity,
                                  std::unique_ptr<SerialLine>* line) {
  std::unique_ptr<SerialLine> opened;
  const OpenResult result = inner_.Open(portName, lineSpeed, parity, &opened);
  *line = Decorate(portName, lineSpeed, result, std::move(opened));
  return result;
}

}  // namespace quorel
