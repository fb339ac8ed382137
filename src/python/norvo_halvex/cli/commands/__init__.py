"""The tool's commands, a module for each group, each command declared beside its handler
(``norvo_halvex.cli.command``); ``norvo_halvex.cli.app`` gives them to the parser."""
