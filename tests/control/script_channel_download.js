// A script opens a channel file that the web server does not have: Open
// throws with the download's text and the player stays closed.
var shell = new ActiveXObject("WScript.Shell");
var env = shell.Environment("PROCESS");
var port = env("QOV_HTTP_PORT");
if (!port) {
  var fso = new ActiveXObject("Scripting.FileSystemObject");
  var ports = "..\\..\\services\\ports.txt";
  if (fso.FileExists(ports)) {
    var m = /http_port=(\d+)/.exec(fso.OpenTextFile(ports, 1).ReadAll());
    if (m) port = m[1];
  }
}
if (!port) {
  WScript.Echo(env("QOV_REQUIRE_SERVICES") == "1" ? "FAIL no web server" : "channel script skipped");
  WScript.Quit(0);
}
var failed = 0;
function check(name, got, want) {
  if (got !== want) {
    WScript.Echo("FAIL " + name + ": " + got + " (wanted " + want + ")");
    failed++;
  }
}
var p = new ActiveXObject("QovPlayerTLB.QovPlayerCtrl");
var url = "http://127.0.0.1:" + port + "/no/such/channel.sms";
var thrown = false;
try {
  p.Open(url);
} catch (e) {
  thrown = true;
  check("message", e.message, "Fail to download file: " + url);
}
check("thrown", thrown, true);
check("Status", p.Status, 0);
p.Close();
if (failed == 0)
  WScript.Echo("channel script passed");
