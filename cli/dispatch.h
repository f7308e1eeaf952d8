// The program's entry logic, callable from tests: global options, banner, mode dispatch.
#pragma once

int tarn_main(int argc, char** argv);
