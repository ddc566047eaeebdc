#include "EConsts.h"

namespace qov::exceptions {

const char* const DefaultTexts[CustomTextCount] = {
    "Information.",                                       // 0
    "Question.",
    "Error.",
    ("An error has occurred during program execution.\r\n"
     "Please read the following information for further details."),
    "General",
    "General Information",                                // 5
    "Call Stack",
    "Call Stack Information",
    "Modules",
    "Modules Information",
    "CPU",                                                // 10
    "CPU Information",
    "Other",
    "Other Information",
    "&OK",
    "&Terminate",                                         // 15
    "&Restart",
    "&Details",
    "&Send this error via Internet",
    "&Attach a Screenshot image",
    "&Copy to Clipboard",                                 // 20
    "Go to the Support Page",
    "Application",
    "Start Date",
    "Name/Description",
    "Version Number",                                     // 25
    "Parameters",
    "Compilation Date",
    "Exception",
    "Date",
    "Address",                                            // 30
    "Module",
    "Type",
    "Message",
    "Active Controls",
    "Form Class",                                         // 35
    "Form Text",
    "Control Class",
    "Control Text",
    "Computer",
    "Name",                                               // 40
    "User",
    "Total Memory",
    "Free Memory",
    "Total Disk",
    "Free Disk",                                          // 45
    "System Up Time",
    "Processor",
    "Display Mode",
    "Operating System",
    "Type",                                               // 50
    "Build #",
    "Update",
    "Language",
    "Network",
    "IP Address",                                         // 55
    "Submask",
    "Gateway",
    "DNS 1",
    "DNS 2",
    "DHCP",                                               // 60
    "Custom Information",
    "Address",
    "Module",
    "Unit",
    "Class",                                              // 65
    "Procedure/Method",
    "Line",
    "Main",
    "Exception Thread",
    "Running Thread",                                     // 70
    "Calling Thread",
    "ID",
    "Priority",
    "Class",
    "Send.",                                              // 75
    "Message",
    "Resolving DNS...",
    "Connecting with server...",
    "Connected with server.",
    "Sending message...",                                 // 80
    "Request",
    "Please describe the steps to reproduce the error:",
    "&OK",
    "Handle",
    "Name",                                               // 85
    "Description",
    "Version",
    "Size",
    "Modified",
    "Path",                                               // 90
    "Registers",
    "Stack",
    "Memory Dump",
    "The message was sent successfully.",
    "Sorry, sending the message didn't work.",            // 95
};

const char* const TextNames[TextNameCount] = {
    "Texts",
    "Message captions",                  // texts 0-1
    "Information", "Question",
    "Exception Dialog",                  // texts 2-21
    "Caption", "Error message", "General Caption", "General Header",
    "Call Stack Caption", "Call Stack Header", "Modules List Caption",
    "Modules List Header", "CPU Caption", "CPU Header", "Custom Data Caption",
    "Custom Data Header", "OK Button", "Terminate Button", "Restart Button",
    "Details Button", "Email message", "Screenshot message", "Copy message",
    "Support message",
    "Send Dialog",                       // texts 75-80
    "Caption", "Message", "Resolving message", "Connecting message",
    "Connected message", "Sending message",
    "Reproduce Dialog",                  // texts 81-83
    "Caption", "Request message", "OK Button",
    "Log",                               // texts 22-61
    "Application Header", "Start Date", "Name/Description", "Version Number",
    "Parameters", "Compilation Date", "Exception Header", "Date", "Address",
    "Module", "Type", "Message", "Active Controls Header", "Form Class",
    "Form Text", "Control Class", "Control Text", "Computer Header", "Name",
    "User", "Total Memory", "Free Memory", "Total Disk", "Free Disk",
    "System Up Time", "Processor", "Display Mode", "Operating System Header",
    "Type", "Build #", "Update", "Language", "Netword", "IP Address",
    "Submask", "Gateway", "DNS 1", "DNS 2", "DHCP",
    "Custom Information Header",
    "Call Stack",                        // texts 62-67
    "Address", "Module", "Unit", "Class", "Procedure/Method", "Line",
    "Threads Data",                      // texts 68-74
    "Main Thread", "Exception Thread", "Running Thread", "Calling Thread",
    "Thread ID", "Thread Priority", "Thread Class",
    "Modules List",                      // texts 84-90
    "Handle", "Name", "Description", "Version", "Size", "Last Modified", "Path",
    "CPU",                               // texts 91-93
    "Registers", "Stack", "Memory Dump",
    "Send messages",                     // texts 94-95
    "Success", "Failure",
};

const char* const ReportFieldKeys[ReportFieldKeyCount] = {
    "Application|Start Date",
    "Application|Name",
    "Application|Version Number",
    "Application|Parameters",
    "Application|Compilation Date",
    "Exception|Date",
    "Exception|Address",
    "Exception|Module",
    "Exception|Type",
    "Exception|Message",
    "Active Controls|Form Class",
    "Active Controls|Form Text",
    "Active Controls|Control Class",
    "Active Controls|Control Text",
    "Computer|Name",
    "Computer|User",
    "Computer|Total Memory",
    "Computer|Free Memory",
    "Computer|Total Disk",
    "Computer|Free Disk",
    "Computer|System Up Time",
    "Computer|Processor",
    "Computer|Display Mode",
    "Operating System|Type",
    "Operating System|Build #",
    "Operating System|Update",
    "Operating System|Language",
    "Network|IP Address",
    "Network|Submask",
    "Network|Gateway",
    "Network|DNS 1",
    "Network|DNS 2",
    "Network|DHCP",
};

const char* const DefaultHtmlTemplate =
    "<html>\r\n"
    "  <head>\r\n"
    "  </head>\r\n"
    "  <body TopMargin=10 LeftMargin=10>\r\n"
    "    <table width=\"100%\" border=\"0\">\r\n"
    "      <tr>\r\n"
    "        <td nowrap>\r\n"
    "          <font face=\"Lucida Console, Courier\" size=\"2\">\r\n"
    "            <%HTML_TAG%>\r\n"
    "          </font>\r\n"
    "        </td>\r\n"
    "      </tr>\r\n"
    "    </table>\r\n"
    "  </body>\r\n"
    "</html>";

} // namespace qov::exceptions
