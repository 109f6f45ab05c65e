// The program, entered with its arguments in UTF-8 on every platform.
#pragma once

int sercapMain(int argc, char** argv);
