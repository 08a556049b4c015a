#include "protocol/TaskFiles.h"

#include <cstring>

namespace protocol {

//  byte  current                 previous (48-bit)
//    0   FEATURES / ERROR        FEATURES (15:8)
//    1   COUNT                   COUNT (15:8)
//    2   LBA LOW                 LBA LOW (15:8)
//    3   LBA MID                 LBA MID (15:8)
//    4   LBA HIGH                LBA HIGH (15:8)
//    5   DEVICE                  -
//    6   COMMAND / STATUS        -
//    7   reserved                reserved
AtaTaskFile ParseTaskFiles(const std::uint8_t current[kTaskFileLength], const std::uint8_t previous[kTaskFileLength],
                           bool ext) {
  AtaTaskFile r;
  r.features = current[0];
  r.count = current[1];
  r.lbaLow = current[2];
  r.lbaMid = current[3];
  r.lbaHigh = current[4];
  r.device = current[5];
  r.command = current[6];
  if (ext) {
    r.featuresExp = previous[0];
    r.countExp = previous[1];
    r.lbaLowExp = previous[2];
    r.lbaMidExp = previous[3];
    r.lbaHighExp = previous[4];
  }
  return r;
}

void WriteTaskFiles(const AtaTaskFile& r, bool ext, std::uint8_t current[kTaskFileLength],
                    std::uint8_t previous[kTaskFileLength]) {
  current[0] = r.features;
  current[1] = r.count;
  current[2] = r.lbaLow;
  current[3] = r.lbaMid;
  current[4] = r.lbaHigh;
  current[5] = r.device;
  current[6] = r.command;
  if (ext) {
    previous[0] = r.featuresExp;
    previous[1] = r.countExp;
    previous[2] = r.lbaLowExp;
    previous[3] = r.lbaMidExp;
    previous[4] = r.lbaHighExp;
  }
}

void WriteReturnTaskFiles(const AtaReturn& r, std::uint8_t current[kTaskFileLength],
                          std::uint8_t previous[kTaskFileLength]) {
  current[0] = r.error;
  current[1] = r.count;
  current[2] = r.lbaLow;
  current[3] = r.lbaMid;
  current[4] = r.lbaHigh;
  current[5] = r.device;
  current[6] = r.status;
  current[7] = 0;
  std::memset(previous, 0, kTaskFileLength);
  if (r.extend) {
    previous[1] = r.countExp;
    previous[2] = r.lbaLowExp;
    previous[3] = r.lbaMidExp;
    previous[4] = r.lbaHighExp;
  }
}

}  // namespace protocol
