// A stand-in device-listing library for the LoadLibrary tests.
extern "C" {

__attribute__((visibility("default"))) void ListKxDevice(unsigned char* rootDevice) {
  rootDevice[8] = 2;  // device count, little-endian
}

__attribute__((visibility("default"))) int PlainExport() { return 42; }
}
