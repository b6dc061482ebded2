#include "relamor3035/relamor3035.h"
#include "toolkit/run_frame.h"

int main(int argc, char** argv) {
  return relamor::RunFrame::Main(argc, argv, "relamor3035", [](relamor::RunFrame& frame) {
    relamor::Relamor3035(frame).StartUp();
  });
}
