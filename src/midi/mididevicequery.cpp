// The device list as the Windows multimedia interface tells it.
#include "midi/mididevicequery.h"

#include <windows.h>
#include <mmsystem.h>

namespace
{
  class SystemQuery final : public MidiDeviceQuery
  {
  public:
    unsigned int count() override { return midiInGetNumDevs(); }

    bool name(unsigned int device, std::string& name) override
    {
      MIDIINCAPSA caps{};
      if (midiInGetDevCapsA(device, &caps, sizeof caps) != MMSYSERR_NOERROR)
        return false;
      caps.szPname[MAXPNAMELEN - 1] = '\0';
      name = caps.szPname;
      return true;
    }
  };
}

MidiDeviceQuery& MidiDeviceQuery::system()
{
  static SystemQuery query;
  return query;
}
