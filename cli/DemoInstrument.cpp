#include "cli/DemoInstrument.h"

#include "midi/Midi.h"

InstrumentModel InstrumentFor(const TSynth& model) {
    InstrumentModel im;
    TMemoryStream request;
    StrToSysExStream(model.RequestBytes, request);
    im.request = request.Bytes();
    im.nameStartPos = model.NameStartPos;
    im.nameSize = model.NameSize;
    im.catPos = model.CatPos;
    im.numSysexBlocks = model.NumSysexBlocks;
    im.nameSyxBlk = model.NameSyxBlk;
    return im;
}
