from korvell.pfnc.cli import main
raise SystemExit(main())
