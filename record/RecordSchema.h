// The words of a record line, spelt here once for everything that writes or
// reads one: the record itself, the lot's count, the yield report, the
// forwarder and the station's --json events. A receiver's scripts key on
// these too: a word changed here changes every reader and writer at once,
// and breaks those scripts.
#pragma once

namespace zq {

namespace key {
constexpr char id[] = "id";
constexpr char time[] = "time";
constexpr char port[] = "port";
constexpr char usb[] = "usb";
constexpr char image[] = "image";
constexpr char result[] = "result";
constexpr char cause[] = "cause";
constexpr char step[] = "step";
constexpr char durationS[] = "duration_s";
constexpr char refusals[] = "refusals";
constexpr char clrSteps[] = "clr_steps";
constexpr char bytesPerS[] = "bytes_per_s";
constexpr char latencyMs[] = "latency_ms";
constexpr char job[] = "job";
constexpr char station[] = "station";
constexpr char slot[] = "slot";
constexpr char signedBy[] = "signed_by";
constexpr char release[] = "release"; // null where the job was not taken from a release channel
constexpr char unit[] = "unit";       // the unit's id: the same on every attempt at it
constexpr char attempt[] = "attempt"; // 1 for a unit's first download

// Within "usb", which is null as a whole where no USB adapter is behind the port.
constexpr char usbVendorId[] = "vendor_id";
constexpr char usbProductId[] = "product_id";
constexpr char usbSerial[] = "serial";
constexpr char usbLocation[] = "location";

// Within "release".
constexpr char releaseChannel[] = "channel"; // the channel's URL or folder, as given
constexpr char releaseVersion[] = "version"; // the targets version that listed the job

// Within "image".
constexpr char imagePath[] = "path";
constexpr char imageSha256[] = "sha256";
constexpr char imageBytes[] = "bytes";
constexpr char imageHeader[] = "header";
constexpr char imageBlocks[] = "blocks";
} // namespace key

// The values of "result".
namespace result {
constexpr char success[] = "success";
constexpr char fail[] = "fail";
constexpr char cancelled[] = "cancelled";
} // namespace result

}  // namespace zq
