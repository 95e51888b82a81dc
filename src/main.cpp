#include "front.h"

int main(int argc, char *argv[])
{
	return treestamp_main(argc, argv);
}
