#include "driver/usage.h"

#include "platform/console.h"

namespace packprobe {

void PrintLogo() {
  Print(u"PACKPROBE.EXE\n");
  Print(u"Verifies the VEKStub and VEKSetup versions of a component.\n\n");
}

void PrintUsage() {
  PrintLogo();
  Print(u"PACKPROBE.EXE Usage\n\n");
  Print(u"  PACKPROBE.EXE [Component Name] <Parameters>\n\n");
  Print(u"Parameters\n\n");
  Print(u"  /stubmin:<ver>    Specifies the minimum VEKStub version to check\n");
  Print(u"  /stubmax:<ver>    Specifies the maximum VEKStub version to check\n");
  Print(u"  /setupmin:<ver>   Specifies the minimum VEKSetup version to check\n");
  Print(u"  /setupmax:<ver>   Specifies the maximum VEKSetup version to check\n");
  Print(u"  /fwonly           Check only firmware components\n");
  Print(u"  /swonly           Check only software components\n");
  Print(u"  /?,/help          Shows this help message\n");
  Print(u"  /nologo           Prevents the program header from appearing\n");
  Print(u"  /verbose          Prints all of the component information found\n");
  Print(u"\nError Return Codes\n\n");
  Print(u"  0\tComponent passed the version check\n");
  Print(u"  1\tThe VEKStub validation checked failed.\n");
  Print(u"  2\tThe VEKSetup validation checked failed.\n");
  Print(u"  3\tVEKStub and VEKSetup validation check failed.\n");
  Print(u"  4\tInvalid command line parameter(s).\n");
  Print(u"  5\tThe specified component does not exist.\n");
  Print(u"  6\tAn invalid component was specified.\n");
  Print(u"  7\tA System error occurred during processing.\n");
  Print(u"\nExamples:\n\n");
  Print(u"  PACKPROBE.EXE kitdemo1.exe /nologo /stubmin:3.0.0.0 /stubmax:3.0.3.0\n\n");
  Print(u"  PACKPROBE.EXE kitdemo1.exe /nologo /stubmin:3.0.0.0 /fwonly\n\n");
  Print(u"  PACKPROBE.EXE kitdemo1.exe /swonly\n\n");
  Print(u"  PACKPROBE.EXE /?\n");
}

}  // namespace packprobe
