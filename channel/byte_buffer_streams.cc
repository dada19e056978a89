#include "channel/byte_buffer_streams.h"

#include "channel/diagnostics.h"

namespace flutter {

void ByteBufferStreamReader::FailRead() {
  if (!failed_) LogLine("Invalid read in StandardCodecByteStreamReader");
  failed_ = true;
}

}  // namespace flutter
