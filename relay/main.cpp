// The process starts here: the arguments as wide text, then wmain.
#include "platform/args.h"
#include "platform/process.h"
#include "relay/socket.h"

namespace {
// The wide arguments live as long as the process; stored here (volatile, so
// that the store is kept), they stay reachable to the end rather than look lost.
wchar_t** volatile wargv = nullptr;
}  // namespace

int main(int argc, char** argv) {
  win::process_start();
  wargv = win::args_to_wide(argc, argv);
  if (wargv == nullptr) return 1;  // no memory for the arguments: nothing can run
  return wmain(argc, wargv);
}
