// The field-by-field dump of a sysInfo record that the round-trip tests compare.
#include <cstdio>
#include <map>
#include <string>

#include "tests/calfile_writer/writer_fixture.h"

namespace calwtest {

namespace {

class dumper {
public:
    slot_dump fields;

    void add(const std::string& name, const std::string& value) { fields.emplace_back(name, value); }
    void i(const std::string& name, long long v) { add(name, std::to_string(v)); }
    void r(const std::string& name, double v)
    {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.17g", v);
        add(name, buf);
    }
    void s(const std::string& name, const sb_string& v)
    {
        add(name, v.is_set() ? "\"" + std::string(v.view()) + "\"" : "(not set)");
    }
    template <class T>
    void ia(const std::string& name, const T* values, int n)
    {
        for (int k = 0; k < n; ++k)
            i(name + "[" + std::to_string(k) + "]", values[k]);
    }
    template <class T>
    void ra(const std::string& name, const T* values, int n)
    {
        for (int k = 0; k < n; ++k)
            r(name + "[" + std::to_string(k) + "]", values[k]);
    }
    void present(const std::string& name, bool p) { add(name, p ? "present" : "absent"); }
};

void light(dumper& d, const std::string& n, const LightSlot& l)
{
    d.i(n + ".rangeLow", l.rangeLow);
    d.i(n + ".rangeHigh", l.rangeHigh);
    d.i(n + ".target", l.target);
    d.i(n + ".mode", l.mode);
    d.i(n + ".level", l.level);
    d.i(n + ".prevLevel", l.prevLevel);
    d.i(n + ".config", l.config);
    d.i(n + ".freq", l.freq);
    d.ia(n + ".avgCurLimit", l.avgCurLimit, 2);
    d.ia(n + ".fwdVoltage", l.fwdVoltage, 2);
    d.r(n + ".alignModePct", l.alignModePct);
}

void pid_half(dumper& d, const std::string& n, const PidHalf& h)
{
    d.ia(n + ".ints", h.ints, 4);
    d.i(n + ".flag", h.flag);
    d.i(n + ".value", h.value);
    d.ra(n + ".reals", h.reals, 4);
}

void radius(dumper& d, const std::string& n, const RadiusScale& g)
{
    d.i(n + ".given", g.given);
    d.i(n + ".flag", g.flag);
    d.r(n + ".a", g.a);
    d.r(n + ".b", g.b);
    d.i(n + ".n", g.n);
    d.r(n + ".last", g.last);
}

}  // namespace

slot_dump dump(const SysInfo& si)
{
    dumper d;
    d.present("calFile", si.calFile != nullptr);
    d.i("hostFileDigit", si.hostFileDigit);

    d.s("instrName", si.instrName);
    d.i("unit", si.unit);
    d.i("sysType", si.sysType);
    d.i("dateCode", si.dateCode);
    d.i("serialNum", si.serialNum);
    d.i("rFlag", si.rFlag);
    d.i("fgType", si.fgType);
    d.i("fgBoardNum", si.fgBoardNum);
    d.i("instrBdType", si.instrBdType);
    d.i("instrBdSwVersion", si.instrBdSwVersion);
    d.i("instrOn", si.instrOn);

    d.s("instrComm", si.instrComm);
    d.present("canInfo", si.canInfo != nullptr);
    if (si.canInfo) {
        const CanInfo& c = *si.canInfo;
        d.ia("canInfo.ipAddress", c.ipAddress, 4);
        d.ia("canInfo.macAddress", c.macAddress, 6);
        d.i("canInfo.fwMajor", c.fwMajor);
        d.i("canInfo.fwMinor", c.fwMinor);
        d.ia("canInfo.zoomPos", c.zoomPos, 7);
        d.i("canInfo.ledProductId", c.ledProductId);
        d.i("canInfo.brushMotorProductId", c.brushMotorProductId);
        d.i("canInfo.rsKeypressMode", c.rsKeypressMode);
        d.i("canInfo.zoomKeypressMode", c.zoomKeypressMode);
        d.i("canInfo.focusKeypressMode", c.focusKeypressMode);
    }

    d.i("cameraType", si.cameraType);
    d.ia("cameraConfig", si.cameraConfig, 10);
    for (int k = 0; k < 6; ++k)
        d.s("cameraFile[" + std::to_string(k) + "]", si.cameraFile[k]);
    d.i("cameraDark", si.cameraDark);
    d.i("adcClock", si.adcClock);
    d.i("cameraAlign", si.cameraAlign);
    d.i("cameraPll", si.cameraPll);
    d.i("cameraOptions", si.cameraOptions);
    for (int k = 0; k < 40; ++k)
        d.ia("badPixels[" + std::to_string(k) + "]", si.badPixels[k], 2);
    d.i("bpixFileFlag", si.bpixFileFlag);
    d.s("bpixFileName", si.bpixFileName);
    d.i("splitAxis", si.splitAxis);
    d.ia("splitValue", si.splitValue, 2);
    for (int k = 0; k < SB_MAX_MAGS; ++k)
        d.ia("cameraTrans[" + std::to_string(k) + "]", si.cameraTrans[k], 2);

    d.i("lightType", si.lightType);
    for (int k = 0; k < 4; ++k)
        d.ra("wavelength[" + std::to_string(k) + "]", si.wavelength[k], 2);

    d.ra("nomMag", si.nomMag, SB_MAX_MAGS);
    d.ra("sysMag", si.sysMag, SB_MAX_MAGS);
    d.i("numMags", si.numMags);

    light(d, "light[0]", si.light[0]);
    light(d, "light[1]", si.light[1]);
    d.i("curLightSlot", si.curLightSlot);
    d.i("llcOptions", si.llcOptions);
    d.i("llcInstrType", si.llcInstrType);
    d.s("llcInstrName", si.llcInstrName);

    d.i("pztPwr", si.pztPwr);
    d.present("pifoc", si.pifoc != nullptr);
    if (si.pifoc) {
        d.i("pifoc.value", si.pifoc->value);
        d.i("pifoc.type", si.pifoc->type);
        d.r("pifoc.beta", si.pifoc->beta);
        d.r("pifoc.coef", si.pifoc->coef);
    }
    d.i("pifocPolarity", si.pifocPolarity);

    d.add("rampConfig", si.rampConfig.is_default() ? std::string("(default)") : si.rampConfig.c_str());
    d.ra("scanCal", si.scanCal, 2);

    d.r("xAxisBacklash", si.xAxisBacklash);
    d.r("yAxisBacklash", si.yAxisBacklash);
    d.r("zAxisBacklash", si.zAxisBacklash);
    d.r("zAxisCal", si.zAxisCal);
    d.i("zEncoder", si.zEncoder);
    d.i("zCanClosedLoop", si.zCanClosedLoop);
    d.i("turret", si.turret);
    d.i("turret2", si.turret2);
    d.i("zoom", si.zoom);

    d.s("motionCtrl[0]", si.motionCtrl[0]);
    d.s("motionCtrl[1]", si.motionCtrl[1]);
    d.i("posInstrType", si.posInstrType);
    d.s("posInstrName[0]", si.posInstrName[0]);
    d.s("posInstrName[1]", si.posInstrName[1]);
    d.i("tempSensorType", si.tempSensorType);
    d.s("tempSensorName", si.tempSensorName);
    d.s("pendentMenu", si.pendentMenu);
    for (int k = 0; k < SB_NUM_AXES; ++k) {
        const std::string axis(1, SB_AXIS_LETTERS[k]);
        d.s("axisComp_" + axis, si.axisComp[k]);
        d.present("pidVals_" + axis, si.pidVals[k] != nullptr);
        if (si.pidVals[k]) {
            pid_half(d, "pidVals_" + axis + ".fast", si.pidVals[k]->fast);
            pid_half(d, "pidVals_" + axis + ".slow", si.pidVals[k]->slow);
        }
    }

    d.i("invertData", si.invertData);
    d.i("noIntensAvg", si.noIntensAvg);
    d.i("touchScreen", si.touchScreen);
    d.i("ftpsiInvertData", si.ftpsiInvertData);

    for (int k = 0; k < SB_MAX_MAGS; ++k) {
        d.ra("sdcCal[" + std::to_string(k) + "].f", si.sdcCal[k].f, 6);
        d.ra("sdcCal[" + std::to_string(k) + "].d", si.sdcCal[k].d, 2);
    }
    d.r("radCrvFocCal", si.radCrvFocCal);
    d.r("radCrvPwrCal", si.radCrvPwrCal);
    d.r("diffDiskRate", si.diffDiskRate);
    d.r("diffDiskFraction", si.diffDiskFraction);
    radius(d, "encodedRadiusScale", si.encodedRadiusScale);
    radius(d, "intfRadiusScale", si.intfRadiusScale);

    d.i("pztPresent", si.pztPresent);
    d.i("lapsPresent", si.lapsPresent);
    d.i("wandPresent", si.wandPresent);
    d.i("zoomPresent", si.zoomPresent);
    d.i("dualBrushMotorPresent", si.dualBrushMotorPresent);
    d.i("focusNdwPresent", si.focusNdwPresent);
    d.i("ringSpot", si.ringSpot);

    d.s("wmComm", si.wmComm);
    d.r("wmSysGain", si.wmSysGain);
    d.r("wmMonOPD", si.wmMonOPD);
    d.ra("wmTuneRange", si.wmTuneRange, 2);
    d.ra("wmTuneRate", si.wmTuneRate, 2);
    d.i("wmMaxBuckets", si.wmMaxBuckets);
    d.i("wmMaxBytes", si.wmMaxBytes);
    d.i("absWaveMeter", si.absWaveMeter);
    d.s("absWaveMeterName", si.absWaveMeterName);
    d.present("dynWaveGen", si.dynWaveGen != nullptr);
    if (si.dynWaveGen) {
        d.i("dynWaveGen.number", si.dynWaveGen->number);
        d.i("dynWaveGen.value", si.dynWaveGen->value);
        d.i("dynWaveGen.value2", si.dynWaveGen->value2);
    }

    d.present("ftpInfo", si.ftpInfo != nullptr);
    if (si.ftpInfo) {
        const FtpInfo& f = *si.ftpInfo;
        d.add("ftpInfo.materialsFile", f.materialsFile);
        d.add("ftpInfo.logFile", f.logFile);
        d.i("ftpInfo.logSizeLimit", f.logSizeLimit);
        d.i("ftpInfo.logKeepSize", f.logKeepSize);
        d.r("ftpInfo.dmiScale", f.dmiScale);
        d.r("ftpInfo.imageRot", f.imageRot);
        d.ra("ftpInfo.sys", f.sys, 4);
        d.ra("ftpInfo.zeroPtPos", f.zeroPtPos, 2);
        for (int k = 0; k < SB_MAX_MAGS; ++k) {
            const std::string m = "ftpInfo.mag[" + std::to_string(k) + "]";
            d.ra(m + ".disper", f.mag[k].disper, 10);
            d.ra(m + ".avgK0", f.mag[k].avgK0, 10);
            d.ra(m + ".dmiCenter", f.mag[k].dmiCenter, 2);
            d.ra(m + ".tiltCenter", f.mag[k].tiltCenter, 2);
        }
        d.i("ftpInfo.zeroGagePeriod", f.zeroGagePeriod);
        d.i("ftpInfo.temperaturePeriod", f.temperaturePeriod);
        d.r("ftpInfo.temperatureValue", f.temperatureValue);
    }
    d.present("hxiZoom", si.hxiZoom != nullptr);
    if (si.hxiZoom) {
        const HxiZoomInfo& z = *si.hxiZoom;
        d.i("hxiZoom.config", z.config);
        d.ia("hxiZoom.progLim", z.progLim, 2);
        d.ia("hxiZoom.wandLim", z.wandLim, 2);
        d.i("hxiZoom.backlash", z.backlash);
        d.ra("hxiZoom.stdMags", z.stdMags, SB_MAX_MAGS);
        d.i("hxiZoom.numStdMags", z.numStdMags);
        d.s("hxiZoom.calFile", z.calFile);
    }
    d.i("sleepTimeout", si.sleepTimeout);
    return d.fields;
}

std::string differences(const slot_dump& a, const slot_dump& b)
{
    // By name, so that a sub-record present on one side only shows as its own fields.
    std::map<std::string, std::pair<std::string, std::string>> both;
    for (const auto& [name, value] : a)
        both[name] = {value, "-"};
    for (const auto& [name, value] : b) {
        auto it = both.find(name);
        if (it == both.end())
            both[name] = {"-", value};
        else
            it->second.second = value;
    }
    std::string out;
    for (const auto& [name, values] : both)
        if (values.first != values.second)
            out += name + ": " + values.first + " | " + values.second + "\n";
    return out;
}

}  // namespace calwtest
