from tidewall.cli import main

raise SystemExit(main())
