// placeholder: filled in by its author
#pragma once
