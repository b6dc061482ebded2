#include "relamor/relamor.h"
#include "toolkit/run_frame.h"

int main(int argc, char** argv) {
  return relamor::RunFrame::Main(argc, argv, "relamor",
                                 [](relamor::RunFrame& frame) { relamor::Relamor(frame).StartUp(); });
}
