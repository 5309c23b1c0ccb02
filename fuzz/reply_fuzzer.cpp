// libFuzzer target for the decoders of drive replies: sense data, READ
// FORMAT CAPACITIES, READ TRACK / DISC INFORMATION, GET CONFIGURATION, mode
// pages, READ BUFFER CAPACITY and the ATIP. A drive (or a device pretending
// to be one) decides every byte; the first input byte picks the decoder, the
// rest is the reply.
#include "drive/mmc_reply.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

using namespace velloran::drive::mmc;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::span<const std::uint8_t> reply(data + 1, size - 1);
  switch (data[0] % 10) {
    case 0: {
      const SenseInfo s = DecodeSense(reply);
      // Progress is only ever read from NOT READY or NO SENSE.
      if (s.progressValid && s.key != 0x00 && s.key != 0x02) std::abort();
      if (!s.valid && (s.key || s.asc || s.ascq)) std::abort();
      break;
    }
    case 1: {
      const FormatCapacityList f = DecodeFormatCapacityList(reply);
      if (f.grow > f.largest || f.currentType > 3) std::abort();
      break;
    }
    case 2: (void)DecodeFormatCapacities(reply); break;
    case 3: (void)DecodeTrackInformation(reply); break;
    case 4: (void)DecodeDiscInformation(reply); break;
    case 5: (void)CurrentProfile(reply); break;
    case 6: {
      const std::size_t at = ModePageOffset(reply, 0x2A);
      if (at != 0 && at >= reply.size()) std::abort();
      (void)DecodeCapabilityWords(reply);
      (void)CapabilitiesFromPage(reply);
      break;
    }
    case 7: (void)CapabilitiesFromFeature(reply.empty() ? 0 : reply[0] | 0x20, reply); break;
    case 8: (void)DecodeBufferCapacity(reply); break;
    default: (void)AtipLeadOutBlocks(reply); break;
  }
  return 0;
}
