// The legacy page's icons and skin bitmaps by resource number. They are drawn
// placeholders: each has the size the page lays out for and a colour of its
// own, so that every button shows which picture it was given.
#pragma once
#include <wx/bitmap.h>

namespace legacy {

// Invalid for a number the table does not hold.
wxBitmap PageBitmap(int id);

}  // namespace legacy
