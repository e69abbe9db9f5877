// quorel-payload-gen: the build-time tool that turns a release's files into the payload source.
#include "payload/gen/payload_gen.h"

int main(int argc, char** argv) { return quorel::RunPayloadGen(argc, argv); }
