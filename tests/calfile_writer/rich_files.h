// Calibration files that use much of the vocabulary, for several boards and system types. Each
// reads without error; their values fit the writer's formats exactly, so a written file reads
// back into the same slot.
#pragma once

#include <string>

namespace calwtest {

// A CAN instrument with nearly every line the writer writes.
inline const std::string kRichCan = R"(# A CAN instrument
InstrName "Lab profiler 7"
Unit 3
Model17 19 34 204518 R
Version GigE 2 CAN
MacAddress 00 1A 2B 3C 4D 5E
InstrComm "COM 3"
Camera Type Custom 1
Camera File cam_a.dcf camB camC camD camE camF
Camera Dark 120
Camera Align center
Camera BPixels [1,2] [3,4] [5,6] [7,8] [9,10] [11,12] [13,14]
Camera Options 5
Camera Pll 1
Ramp Config "my ramps.txt"
Light LED 0.5 [0.6,0.02] 0.7
LLC Instr dd100mc_b LLCUNIT1
LLC Range 5 1000 7 4000
LLC Config 4 6
LLC Freq 40000
LLC Target 180
LLC Options 9
LLC AvgCurLimit 100 200 300 400
LLC FwdVoltage 1000 2000
LLC AlignModePct 55.5
PztPwr 250
ADC Clock 300
Pifoc 12345 1.0 0.02
PifocPolarity -1
PifocType 2
NomMag 5 10 20
SysMag 5.1 10.2 20.3
Camera SplitY 640 3
Camera Trans 0 10 -10
Camera Trans 2 -5 7
ScanCal 0.95 1.05
Turret 3 7
Zoom 2
IgnoreDualBrushMotor
IgnoreLAPS
IgnoreWand
IgnoreFocusNDW
IgnoreZoom
IgnorePZT
RingSpot
DiffDiskRate 25.5
DiffDiskFraction 0.5
XAxisBacklash 1.5
YAxisBacklash 2.25
ZAxisCal 1.1
ZAxisBacklash 0
ZEncoder 1
ZCanClosedLoop 1
SdcCal 0 1 2 3 4 5 6 7 8
SdcCal 3 -1.5 2.5
RadCrvFocCal 1.5
RadCrvPwrCal -2
InvertData 7
NoIntensAvg
TouchScreen
MotionCtrl ctrlA "ctrl B"
PosInstr lcdmi pos1 pos2
TempSensor euro2216e COM9
PendentMenu menu.txt
AxisComp_X compx.txt
AxisComp_Z compz.txt
PidVals_X 1 2 3 4 1 5 0.5 -0.5 1.25 -1.25
PidVals_Y fast 10 20 30 40 0 50 0.1 0.2 0.3 0.4
PidVals_Y slow 11 21 31 41 1 51 -0.1 -0.2 -0.3 -0.4
PidVals_Z slow 700 0 15050 0 0 0 0 0 0 0
wmComm COM4
wmSysGain 1.5
wmMonOPD 2.25
wmTuneRange 0.5 1.5
wmTuneRate 2 0
FtpsiInvertData 3
AbsWaveMeter 1 meter1
DynWaveGen 7 12 100
HxiEncZoomConfig 3
HxiEncZoomBacklash -20
HxiEncZoomProgLim 100 50000
HxiEncZoomWandLim 0 40000
HxiEncZoomStdMags 1 2.5 5
HxiEncZoomCalFile zoomcal.txt
EncodedRadiusScale 1 0.5 0.25 3
IntfRadiusScale 0 0.125 0.75 20 0.5
SleepTimeout 2:30:15
)";

// A Board01 instrument: custom camera with its configuration, a second camera file name left
// out, a bad-pixel file, four LLC range values.
inline const std::string kRichBoard01 = R"(Model04 05 01 100
Version Matrox 1 Board01
InstrComm COM1
Camera Type Custom 1
Camera Config 1 0 3 1 0 1 0 1
Camera File first.dcf NULL third
Camera Bpix 1 bpixfile.txt
Light Diode 0.65
LLC Range 0 4095 10 90
Pifoc 77
SysMag 2.5 5
NomMag 2.5 5
Turret 1
ScanCal 1 1.05
)";

// An FTP instrument with every FTP line, a dispersion list of a magnification beyond the
// NomMag count.
inline const std::string kRichFtp = R"(FTP 10 10 5000
Version PC2Vision 0 FTP
InstrComm COM2
Camera Type A311F
Light White 10.6
InvertData 0
Pifoc 5
MotionCtrl a b
NomMag 1 2 3
SysMag 1.5 2.5 3.5
FTPMaterials mats.txt
FTPSys 0.25 0.5 -0.75 9.5
FTPDmiScale 2.25
FTPImageRot 0.5
FTPZeroPtPos 1.5 -2.5
FTPDisper 0 1 2 3
FTPDisper 4 -1 -2
FTPAvg_K0 1 10 20 30 40 50 60 70 80 90 100
FTPDmiCenter 0 1.5 -2.5
FTPTiltCenter 2 10 20
FTPZeroGagePer 1:2:3:4
FTPTemperature 0:1:0:0 2.5
FTPLog log.txt 2000 1000
)";

// An HXI instrument: custom camera with its field control, LLC target, ring spot, zoom record.
inline const std::string kRichHxi = R"(HXI 01 52 999999
Version Corona 5 HXI
InstrComm COM5
Camera Type Custom 1
Camera Config 0 12
Light HeNe
LLC Target 64
RingSpot
HxiEncZoomConfig 0
)";

// A Model13 board: its own light preset, an InvertData line, a two-value LLC range.
inline const std::string kRichModel13 = R"(kivo 20 20 4242
Version None 0 Model13
Camera Type pia640
Light Special 12.5 [13,0.5]
InvertData 1
LLC Range 1 2
)";

// A CAN Model25 without dual brush motor board: the reader clears turret and zoom, and the
// completed LLC ranges hold 65535.
inline const std::string kRichModel25 = R"(Model25 15 10 2500
Version GigE 0 CAN
MacAddress 1 2 3 4 5 6
Camera Type TM6740
Pifoc 1
IgnoreDualBrushMotor
Turret 2
Zoom 1
)";

// A wave-monitor instrument whose monitor OPD is 0, with a PIFOC record made by PifocType only,
// a NomMag line of zeros, the other axes' compensation files and PID sets.
inline const std::string kRichModel34 = R"(ftpsi 12 12 1212
Version None 0 None
wmComm COM7
wmMonOPD 0
LLC Target 100
PifocType 0
Light HeNe
Camera SplitX 100 0
NomMag 0
Camera Trans 0 1 1
AxisComp_A a.cmp
AxisComp_B b.cmp
AxisComp_P p.cmp
AxisComp_R r.cmp
AxisComp_T t.cmp
AxisComp_Y y.cmp
PidVals_A 1 1 1 1 1 1 1 1 1 1
PidVals_B fast 2 2 2 2 0 2 0 0 0 0
PidVals_P slow 3 3 3 3 1 3 0 0 0 0
PidVals_R 4 4 4 4 0 4 -1 -1 -1 -1
PidVals_T fast 5 5 5 5 1 5 2 2 2 2
)";

// A Model07 on a NOTNEEDED board: the LLC range the board forces, the Model07 light preset.
inline const std::string kRichModel07 = R"(tesk 01 01 101
Version FireWire 0 NOTNEEDED
Camera Type dgfly1024
Light HeNe
SysMag 1 2
NomMag 3 4
LLC Config 2
PztPwr 0
)";

inline const std::string* const kRichFiles[] = {&kRichCan,    &kRichBoard01, &kRichFtp,     &kRichHxi,
                                                &kRichModel13, &kRichModel25, &kRichModel34, &kRichModel07};

}  // namespace calwtest
