import sys

from norvo_halvex.cli import main

if __name__ == "__main__":
    sys.exit(main())
