"""The black-box suite: __main__.py runs it, and maps its modules."""
