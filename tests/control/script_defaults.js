// A control made by a script, without a container: the defaults of a new
// instance, and the members that return without effect.
var failed = 0;
function check(name, got, want) {
  if (got !== want) {
    WScript.Echo("FAIL " + name + ": " + got + " (wanted " + want + ")");
    failed++;
  }
}
var p = new ActiveXObject("QovPlayerTLB.QovPlayerCtrl");
check("Status", p.Status, 0);
check("DisplayMode", p.DisplayMode, 0);
check("AutoStart", p.AutoStart, true);
check("AutoConnect", p.AutoConnect, true);
check("InitialColor", p.InitialColor, 16711680);
check("Duration", p.Duration, 0);
check("QovWidth", p.QovWidth, 0);
check("QovHeight", p.QovHeight, 0);
check("CurrentPosition", p.CurrentPosition, 0);
check("MediaTime", p.MediaTime, 0);
check("URL", p.URL, "");
check("Host", p.Host, "");
check("Title", p.Title, "");
p.SendScript("anything");
p.Request("anything");
check("Status after SendScript and Request", p.Status, 0);
p.ScreenBackgroundColor = 0x0000FF;
check("ScreenBackgroundColor", p.ScreenBackgroundColor, 255);
try {
  p.AxBorderStyle = 9;
  failed++;
  WScript.Echo("FAIL AxBorderStyle 9 accepted");
} catch (e) {
  check("error text", e.description, "Range check error");
}
WScript.Echo(failed == 0 ? "script defaults passed" : "script defaults failed");
WScript.Quit(failed);
