// resource.h: ids of the dialog templates and their controls.
#pragma once

// "Port Name": asks for the name of a new port.
#define IDD_PORT_NAME        100
#define IDC_PORT_NAME        101

// "Checksum Port Settings": a checksum port's pass-through settings.
#define IDD_CHECKSUM_PORT    200
#define IDC_PRINT_DOCUMENTS  201
#define IDC_PRINTER_NAME     202
#define IDC_PRINTER_LABEL    204
