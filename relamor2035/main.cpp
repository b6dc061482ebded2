#include "relamor2035/relamor2035.h"
#include "toolkit/run_frame.h"

int main(int argc, char** argv) {
  return relamor::RunFrame::Main(argc, argv, "relamor2035", [](relamor::RunFrame& frame) {
    relamor::Relamor2035(frame).StartUp();
  });
}
