#include "legacy/PageResources.h"

#include <wx/image.h>

namespace legacy {
namespace {

struct Resource {
  int id;
  int width, height;
  unsigned char r, g, b;
};

// Icons are 24 x 24; 268 is the banner above the counts, 269 the tester-detection button.
constexpr Resource kResources[] = {
    {134, 24, 24, 128, 128, 128},  // Clear Record
    {139, 24, 24, 230, 120, 20},   // Bad Block
    {141, 24, 24, 30, 160, 60},    // QC
    {150, 24, 24, 40, 90, 200},    // Initial
    {194, 24, 24, 130, 60, 170},   // Pretest
    {200, 24, 24, 20, 150, 150},   // Reload Param
    {270, 24, 24, 190, 170, 20},   // Time
    {283, 32, 32, 20, 40, 110},    // the page's icon
    {268, 250, 52, 30, 70, 140},   // banner
    {269, 149, 130, 60, 120, 60},  // tester detection
};

}  // namespace

wxBitmap PageBitmap(int id) {
  for (const Resource& res : kResources) {
    if (res.id != id) continue;
    wxImage image(res.width, res.height);
    image.SetRGB(wxRect(0, 0, res.width, res.height), res.r, res.g, res.b);
    // A lighter face inside a one-pixel frame.
    if (res.width > 4 && res.height > 4)
      image.SetRGB(wxRect(2, 2, res.width - 4, res.height - 4), static_cast<unsigned char>((res.r + 255) / 2),
                   static_cast<unsigned char>((res.g + 255) / 2), static_cast<unsigned char>((res.b + 255) / 2));
    return wxBitmap(image);
  }
  return wxBitmap();
}

}  // namespace legacy
