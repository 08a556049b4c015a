#include "tools/WindowDriver.h"

#include <cstdint>
#include <string>
#include <unordered_set>

#include "platform/LoadedSymbol.h"

#include <wx/app.h>
#include <wx/init.h>
#include <wx/log.h>

#include <wx/dcmemory.h>
#include <wx/dcclient.h>
#include <wx/evtloop.h>
#include <wx/timer.h>

namespace kxtools {

bool StartWindowSystem(const char* programName) {
  wxApp::SetInstance(new wxApp);
  int argc = 1;
  std::string name = programName;
  char* argv[] = {name.data(), nullptr};
  if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit()) return false;
  delete wxLog::SetActiveTarget(new wxLogStderr);
  wxImage::AddHandler(new wxPNGHandler);
  return true;
}

void StopWindowSystem() { wxEntryCleanup(); }

bool RunEventsUntil(const std::function<bool()>& done, int limitMs, int pollMs) {
  wxGUIEventLoop loop;
  wxEventLoopActivator active(&loop);
  bool reached = false;
  int waited = 0;
  wxTimer poll;
  poll.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
    waited += pollMs;
    reached = done();
    if (reached || waited >= limitMs) loop.ScheduleExit();  // also from under a modal dialog
  });
  poll.Start(pollMs);
  loop.Run();
  return reached;
}

void RunEventsFor(int ms) {
  wxGUIEventLoop loop;
  wxEventLoopActivator active(&loop);
  wxTimer end;
  end.Bind(wxEVT_TIMER, [&loop](wxTimerEvent&) { loop.ScheduleExit(); });
  end.StartOnce(ms);
  loop.Run();
}

bool PutDeleteEvent(wxWindow* window) {
  // GTK's own calls, looked up in the loaded library: the toolkit does not offer them.
  const auto newEvent = reinterpret_cast<void* (*)(int)>(platform::LoadedSymbol("gdk_event_new"));
  const auto put = reinterpret_cast<void (*)(void*)>(platform::LoadedSymbol("gdk_event_put"));
  const auto freeEvent = reinterpret_cast<void (*)(void*)>(platform::LoadedSymbol("gdk_event_free"));
  const auto windowOf = reinterpret_cast<void* (*)(void*)>(platform::LoadedSymbol("gtk_widget_get_window"));
  const auto ref = reinterpret_cast<void* (*)(void*)>(platform::LoadedSymbol("g_object_ref"));
  if (!newEvent || !put || !freeEvent || !windowOf || !ref) return false;
  struct EventHead {  // the first fields of every GdkEvent
    int type;
    void* window;
  };
  void* event = newEvent(0);  // GDK_DELETE
  static_cast<EventHead*>(event)->window = ref(windowOf(window->GetHandle()));  // the event's free drops it
  put(event);
  freeEvent(event);
  return true;
}

wxImage Screenshot(wxWindow* window) {
  // Read from the window itself: a grab of the whole screen stops this
  // display's later repaints.
  const wxSize size = window->GetSize();
  wxWindowDC source(window);
  wxBitmap bitmap(size.x, size.y);
  wxMemoryDC memory(bitmap);
  memory.Blit(0, 0, size.x, size.y, &source, 0, 0);
  memory.SelectObject(wxNullBitmap);
  return bitmap.ConvertToImage();
}

ColourCount CountColours(const wxImage& image) {
  ColourCount count;
  std::unordered_set<std::uint32_t> colours;
  const unsigned char* p = image.GetData();
  const std::size_t pixels = static_cast<std::size_t>(image.GetWidth()) * static_cast<std::size_t>(image.GetHeight());
  for (std::size_t i = 0; i < pixels; ++i, p += 3) {
    colours.insert(static_cast<std::uint32_t>(p[0]) << 16 | static_cast<std::uint32_t>(p[1]) << 8 | p[2]);
    count.green += p[0] == 0 && p[1] == 255 && p[2] == 0;
    count.red += p[0] == 255 && p[1] == 0 && p[2] == 0;
  }
  count.distinct = colours.size();
  return count;
}

}  // namespace kxtools
