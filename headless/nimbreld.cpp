#include "headless/CHeadlessApp.h"

int main(int argc, char** argv)
{
    return CHeadlessApp().Run(argc, argv);
}
